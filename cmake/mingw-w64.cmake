# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (POSIX threads,
# which Qt's std::thread use needs). UPDATER_WIN_PREFIXES: the cross-built Qt
# and libsodium, searched like the MinGW system root.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triple}-g++-posix)
set(CMAKE_RC_COMPILER ${triple}-windres)
set(UPDATER_WIN_PREFIXES "" CACHE STRING "Cross-built prefixes (Qt, libsodium)")
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${triple} ${UPDATER_WIN_PREFIXES})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
