# The host kit: version resources, size flags of the shipped binaries, and the install layout
#   include/           usbhelper.h, adb_bridge.h
#   lib/               import libraries (MSVC .lib, MinGW .dll.a) and .def files,
#                      cmake/usbhelper/ (find_package(usbhelper)), pkgconfig/usbhelper.pc
#   bin/               usbhelper.dll, AdbBridge.dll, usbmon.exe, whitelist.json
#   bindings/dotnet/   UsbHelper.cs, UsbMessage.cs
#   toolchains/        the MinGW-w64 toolchain files the kit was built with
#   LICENSE, CHANGELOG.md

# A version resource in each shipped binary.
function(usb_version_resource target file description type)
  set(USB_RC_FILE "${file}")
  set(USB_RC_DESCRIPTION "${description}")
  set(USB_RC_TYPE "${type}")
  set(rc "${PROJECT_BINARY_DIR}/version/${target}.rc")
  configure_file("${PROJECT_SOURCE_DIR}/cmake/version.rc.in" "${rc}" @ONLY)
  target_sources(${target} PRIVATE "${rc}")
endfunction()
usb_version_resource(usbhelper usbhelper.dll "Finds Android phones on USB and brings them to ADB" VFT_DLL)
usb_version_resource(AdbBridge AdbBridge.dll "ADB host-protocol client" VFT_DLL)
usb_version_resource(usbmon usbmon.exe "Console host and support tool for usbhelper.dll" VFT_APP)

# Shipped as small as they can be: unused sections dropped, symbols stripped outside Debug
# (every object is compiled with its own sections, see the top level).
foreach(target usbhelper AdbBridge usbmon)
  target_link_options(${target} PRIVATE -Wl,--gc-sections $<$<NOT:$<CONFIG:Debug>>:-s>)
endforeach()

# Import libraries in the MSVC (short import) format from the same .def files, for hosts that
# link with MSVC's linker or lld-link; LLVM's dlltool writes that format for both machines.
find_program(USB_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 REQUIRED)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(USB_DLLTOOL_MACHINE i386:x86-64)
else()
  set(USB_DLLTOOL_MACHINE i386)
endif()
set(USB_MSVC_IMPORT_LIBS "")
foreach(def "${USB_LIB}/service/usbhelper.def" "${PROJECT_SOURCE_DIR}/adb_bridge/AdbBridge.def")
  get_filename_component(name "${def}" NAME_WE)
  set(lib "${PROJECT_BINARY_DIR}/lib/${name}.lib")
  add_custom_command(OUTPUT "${lib}" COMMAND "${USB_DLLTOOL}" -m ${USB_DLLTOOL_MACHINE} -d "${def}" -l "${lib}"
                     DEPENDS "${def}" COMMENT "Making the MSVC import library ${name}.lib" VERBATIM)
  list(APPEND USB_MSVC_IMPORT_LIBS "${lib}")
endforeach()
file(MAKE_DIRECTORY "${PROJECT_BINARY_DIR}/lib")
add_custom_target(usb_msvc_import_libs ALL DEPENDS ${USB_MSVC_IMPORT_LIBS})

include("${PROJECT_SOURCE_DIR}/cmake/dotnet_binding.cmake")

# Without --prefix the kit lands in the tree, never in the cross toolchain's Windows default;
# a host that embeds the project keeps its own prefix.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT AND PROJECT_IS_TOP_LEVEL)
  set(CMAKE_INSTALL_PREFIX "${PROJECT_BINARY_DIR}/kit" CACHE PATH "where cmake --install lays out the host kit" FORCE)
endif()
include(CMakePackageConfigHelpers)
set(USB_KIT_CMAKE lib/cmake/usbhelper)
write_basic_package_version_file("${PROJECT_BINARY_DIR}/usbhelperConfigVersion.cmake"
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
configure_file("${PROJECT_SOURCE_DIR}/cmake/usbhelper.pc.in" "${PROJECT_BINARY_DIR}/usbhelper.pc" @ONLY)
install(TARGETS usbhelper AdbBridge RUNTIME DESTINATION bin ARCHIVE DESTINATION lib)
install(TARGETS usbmon RUNTIME DESTINATION bin)
install(FILES "${PROJECT_SOURCE_DIR}/data/whitelist.json" DESTINATION bin)
install(FILES "${PROJECT_SOURCE_DIR}/include/usbhelper.h" "${PROJECT_SOURCE_DIR}/include/adb_bridge.h" DESTINATION include)
install(FILES "${USB_LIB}/service/usbhelper.def" "${PROJECT_SOURCE_DIR}/adb_bridge/AdbBridge.def"
              ${USB_MSVC_IMPORT_LIBS} DESTINATION lib)
install(FILES "${PROJECT_SOURCE_DIR}/cmake/usbhelperConfig.cmake" "${PROJECT_BINARY_DIR}/usbhelperConfigVersion.cmake"
        DESTINATION ${USB_KIT_CMAKE})
install(FILES "${PROJECT_BINARY_DIR}/usbhelper.pc" DESTINATION lib/pkgconfig)
install(FILES "${PROJECT_SOURCE_DIR}/bindings/dotnet/UsbHelper.cs" "${USB_DOTNET_MESSAGES}" DESTINATION bindings/dotnet)
install(FILES "${PROJECT_SOURCE_DIR}/cmake/mingw-i686.cmake" "${PROJECT_SOURCE_DIR}/cmake/mingw-x86_64.cmake"
        DESTINATION toolchains)
install(FILES "${PROJECT_SOURCE_DIR}/LICENSE" "${PROJECT_SOURCE_DIR}/CHANGELOG.md" DESTINATION .)
