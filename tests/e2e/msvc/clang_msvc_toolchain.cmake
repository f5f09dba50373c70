# A host built as an MSVC consumer of the kit, without Visual Studio: clang in MSVC mode, linked
# by lld-link against the kit's .lib files. MSVC's C runtime and SDK are not in Debian, so
# mingw-w64's headers stand in (clang takes their GNU forms), msvcrt.dll and kernel32.dll are
# linked through mingw-w64's import libraries, and msvc_entry.c does the runtime's start.
#   cmake -DCMAKE_TOOLCHAIN_FILE=clang_msvc_toolchain.cmake -DUSB_MSVC_ARCH=i686|x86_64 ...
set(CMAKE_SYSTEM_NAME Windows)
if(NOT USB_MSVC_ARCH)
  set(USB_MSVC_ARCH i686)
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES USB_MSVC_ARCH)
set(CMAKE_SYSTEM_PROCESSOR ${USB_MSVC_ARCH})
set(CMAKE_C_COMPILER clang)
set(CMAKE_C_COMPILER_TARGET ${USB_MSVC_ARCH}-pc-windows-msvc)
set(_usb_mingw /usr/${USB_MSVC_ARCH}-w64-mingw32)
if(USB_MSVC_ARCH STREQUAL "i686")
  # MinGW's compiler defines _X86_ itself; gcc-made objects carry no SafeSEH table.
  set(CMAKE_C_FLAGS_INIT "-D_X86_")
  set(CMAKE_EXE_LINKER_FLAGS_INIT "-Xlinker /safeseh:no")
endif()
string(APPEND CMAKE_C_FLAGS_INIT " -fgnuc-version=4.2.1 -D__USE_MINGW_ANSI_STDIO=0 -isystem ${_usb_mingw}/include")
string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -Xlinker /nodefaultlib -Xlinker /entry:usb_msvc_entry")
set(CMAKE_C_STANDARD_LIBRARIES "${_usb_mingw}/lib/libmsvcrt.a ${_usb_mingw}/lib/libkernel32.a" CACHE STRING
    "the C runtime and system libraries of every program" FORCE)
# The compiler checks cannot link a program before the entry is built.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_PROJECT_INCLUDE "${CMAKE_CURRENT_LIST_DIR}/msvc_entry.cmake")
