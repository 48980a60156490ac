# Cross-compiles for 32-bit Windows 7 and later. MinGW-w64's headers default
# to Windows 10: at 0x0601 a call of anything newer fails to compile, so it
# can only be looked up at run time (GetProcAddress) and Windows 7 loads us.
set(UPDATER_WIN_TRIPLE i686-w64-mingw32)
set(CMAKE_C_FLAGS_INIT "-D_WIN32_WINNT=0x0601 -DWINVER=0x0601")
set(CMAKE_CXX_FLAGS_INIT "-D_WIN32_WINNT=0x0601 -DWINVER=0x0601")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
