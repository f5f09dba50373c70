# find_package(usbhelper) for a host project: imported targets over the kit this file lies in.
#   usbhelper::usbhelper   usbhelper.dll, its import library and usbhelper.h
#   usbhelper::adb_bridge  AdbBridge.dll, its import library and adb_bridge.h
#   usbhelper_RUNTIME_FILES                     what ships beside the host executable
#   usbhelper_copy_runtime(TARGET)              copies those files beside TARGET after each build
#   usbhelper_install_runtime(DESTINATION DIR [COMPONENT NAME])
#                                               installs them into DIR (the host's bin folder)
# The import library follows the consumer: usbhelper.lib for MSVC and clang in MSVC mode
# (clang-cl, --target=*-windows-msvc), libusbhelper.dll.a for MinGW.
get_filename_component(_usbhelper_root "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)

if(MSVC OR CMAKE_C_SIMULATE_ID STREQUAL "MSVC" OR CMAKE_CXX_SIMULATE_ID STREQUAL "MSVC")
  set(_usbhelper_implib "lib/%.lib")
else()
  set(_usbhelper_implib "lib/lib%.dll.a")
endif()

foreach(_usbhelper_t usbhelper:usbhelper adb_bridge:AdbBridge)
  string(REPLACE ":" ";" _usbhelper_t "${_usbhelper_t}")
  list(GET _usbhelper_t 0 _usbhelper_name)
  list(GET _usbhelper_t 1 _usbhelper_file)
  if(NOT TARGET usbhelper::${_usbhelper_name})
    string(REPLACE "%" "${_usbhelper_file}" _usbhelper_lib "${_usbhelper_implib}")
    add_library(usbhelper::${_usbhelper_name} SHARED IMPORTED)
    set_target_properties(usbhelper::${_usbhelper_name} PROPERTIES
      IMPORTED_LOCATION "${_usbhelper_root}/bin/${_usbhelper_file}.dll"
      IMPORTED_IMPLIB "${_usbhelper_root}/${_usbhelper_lib}"
      INTERFACE_INCLUDE_DIRECTORIES "${_usbhelper_root}/include")
  endif()
endforeach()

# usbhelper.dll loads AdbBridge.dll and reads whitelist.json from the host's own folder.
set(usbhelper_RUNTIME_FILES "${_usbhelper_root}/bin/usbhelper.dll" "${_usbhelper_root}/bin/AdbBridge.dll"
    "${_usbhelper_root}/bin/whitelist.json")

function(usbhelper_copy_runtime target)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND "${CMAKE_COMMAND}" -E copy_if_different ${usbhelper_RUNTIME_FILES} "$<TARGET_FILE_DIR:${target}>")
endfunction()

function(usbhelper_install_runtime)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "DESTINATION;COMPONENT" "")
  if(NOT arg_DESTINATION OR arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "usbhelper_install_runtime(DESTINATION <dir> [COMPONENT <name>])")
  endif()
  set(component "")
  if(arg_COMPONENT)
    set(component COMPONENT "${arg_COMPONENT}")
  endif()
  install(FILES ${usbhelper_RUNTIME_FILES} DESTINATION "${arg_DESTINATION}" ${component})
endfunction()

unset(_usbhelper_t)
unset(_usbhelper_name)
unset(_usbhelper_file)
unset(_usbhelper_lib)
unset(_usbhelper_implib)
