# Cross-compiles the portable layers for 64-bit Windows with Debian's MinGW-w64 (posix threads), to
# prove that nothing above the platform layer depends on POSIX. Libraries only; nothing is linked.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(VARNE_CROSS_CHECK ON CACHE BOOL "" FORCE)
set(VARNE_BENCH OFF CACHE BOOL "" FORCE)
