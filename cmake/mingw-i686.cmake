# Cross build for 32-bit Windows with the posix-thread mingw-w64 toolchain (Debian's package names);
# the build of usbhelper and of hosts against its kit.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Packages are also looked for outside the root: a host kit unpacked anywhere is found through
# CMAKE_PREFIX_PATH. With ONLY here, find_package(usbhelper) fails unless -Dusbhelper_DIR names
# the kit's lib/cmake/usbhelper.
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
