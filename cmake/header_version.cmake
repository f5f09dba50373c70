# The version has one source, the host header's USBHELPER_VERSION_MAJOR/MINOR/PATCH: the project
# version, the version resources, the package version file and usbhelper.pc all take it from
# there. Included before project(); sets USBHELPER_HEADER_VERSION.
set(_usb_header "${CMAKE_CURRENT_LIST_DIR}/../include/usbhelper.h")
file(STRINGS "${_usb_header}" _usb_lines REGEX "^#define USBHELPER_VERSION_(MAJOR|MINOR|PATCH) [0-9]+$")
set(USBHELPER_HEADER_VERSION "")
foreach(_usb_part MAJOR MINOR PATCH)
  if(NOT _usb_lines MATCHES "USBHELPER_VERSION_${_usb_part} ([0-9]+)")
    message(FATAL_ERROR "${_usb_header} has no USBHELPER_VERSION_${_usb_part}")
  endif()
  list(APPEND USBHELPER_HEADER_VERSION ${CMAKE_MATCH_1})
endforeach()
list(JOIN USBHELPER_HEADER_VERSION "." USBHELPER_HEADER_VERSION)
# A new version in the header configures the tree again.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_usb_header}")
unset(_usb_header)
unset(_usb_lines)
unset(_usb_part)
