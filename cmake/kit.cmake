# The host kit: version resources, size flags of the shipped binaries, and the install layout
#   include/  usbhelper.h, adb_bridge.h
#   lib/      import libraries and .def files, cmake/usbhelper/ (find_package(usbhelper))
#   bin/      usbhelper.dll, AdbBridge.dll, usbmon.exe, whitelist.json

# A version resource in each shipped binary.
function(usb_version_resource target file description type)
  set(USB_RC_FILE "${file}")
  set(USB_RC_DESCRIPTION "${description}")
  set(USB_RC_TYPE "${type}")
  set(rc "${CMAKE_BINARY_DIR}/version/${target}.rc")
  configure_file("${CMAKE_SOURCE_DIR}/cmake/version.rc.in" "${rc}" @ONLY)
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

# Without --prefix the kit lands in the tree, never in the cross toolchain's Windows default.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX "${CMAKE_BINARY_DIR}/kit" CACHE PATH "where cmake --install lays out the host kit" FORCE)
endif()
include(CMakePackageConfigHelpers)
set(USB_KIT_CMAKE lib/cmake/usbhelper)
write_basic_package_version_file("${CMAKE_BINARY_DIR}/usbhelperConfigVersion.cmake"
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(TARGETS usbhelper AdbBridge RUNTIME DESTINATION bin ARCHIVE DESTINATION lib)
install(TARGETS usbmon RUNTIME DESTINATION bin)
install(FILES "${CMAKE_SOURCE_DIR}/data/whitelist.json" DESTINATION bin)
install(FILES "${CMAKE_SOURCE_DIR}/include/usbhelper.h" "${CMAKE_SOURCE_DIR}/include/adb_bridge.h" DESTINATION include)
install(FILES "${USB_LIB}/service/usbhelper.def" "${CMAKE_SOURCE_DIR}/adb_bridge/AdbBridge.def" DESTINATION lib)
install(FILES "${CMAKE_SOURCE_DIR}/cmake/usbhelperConfig.cmake" "${CMAKE_BINARY_DIR}/usbhelperConfigVersion.cmake"
        DESTINATION ${USB_KIT_CMAKE})
