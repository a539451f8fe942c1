# Cross build for Windows x86-64 with the mingw-w64 posix-thread compilers.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest runs the test programs under Wine (the build runs the dissector's
# generator so too), with address randomisation off where setarch is at hand:
# Debian's Wine has no preloader, and a C library heap placed at random over the
# page Windows reserves at 0x7ffe0000 fails a start about once in a few thousand.
if(EXISTS /usr/bin/setarch)
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/setarch -R wine)
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR wine)
endif()
