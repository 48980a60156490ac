# Cross-compiles for Windows with Debian's MinGW-w64 (POSIX threads, which
# Qt's std::thread use needs): 64-bit unless UPDATER_WIN_TRIPLE says otherwise
# (mingw-w64-i686.cmake). UPDATER_WIN_PREFIXES: the cross-built Qt and
# libsodium and nettle, searched like the MinGW system root.
set(CMAKE_SYSTEM_NAME Windows)
if(NOT UPDATER_WIN_TRIPLE)
  set(UPDATER_WIN_TRIPLE x86_64-w64-mingw32)
endif()
set(triple ${UPDATER_WIN_TRIPLE})
string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR ${triple})
set(CMAKE_C_COMPILER ${triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triple}-g++-posix)
set(CMAKE_RC_COMPILER ${triple}-windres)
set(UPDATER_WIN_PREFIXES "" CACHE STRING "Cross-built prefixes (Qt, libsodium, nettle)")
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${triple} ${UPDATER_WIN_PREFIXES})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
