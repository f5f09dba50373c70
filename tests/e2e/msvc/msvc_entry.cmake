# Runs after the host's project(): every program it adds gets the runtime start of msvc_entry.c.
add_library(usb_msvc_entry STATIC "${CMAKE_CURRENT_LIST_DIR}/msvc_entry.c")
link_libraries(usb_msvc_entry)
