# Cross build for 64-bit Windows (Wine test runs on kernels without 32-bit support) with the posix-thread mingw-w64 toolchain.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Packages are also looked for outside the root: a host kit unpacked anywhere is found through
# CMAKE_PREFIX_PATH. With ONLY here, find_package(usbhelper) fails unless -Dusbhelper_DIR names
# the kit's lib/cmake/usbhelper.
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
