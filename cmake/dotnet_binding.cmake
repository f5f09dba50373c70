# The .NET binding: bindings/dotnet/UsbHelper.cs as written, and UsbMessage.cs, the message enum
# and user lines, made from usbhelper.h's tables by this tree's C preprocessor (target
# usb_dotnet_binding). USB_DOTNET_MESSAGES names the made file.
include_guard(GLOBAL)
set(USB_DOTNET_MESSAGES "${PROJECT_BINARY_DIR}/bindings/dotnet/UsbMessage.cs")
file(MAKE_DIRECTORY "${PROJECT_BINARY_DIR}/bindings/dotnet")
set(_usb_generator "${PROJECT_SOURCE_DIR}/bindings/dotnet/generate_messages.py")
add_custom_command(OUTPUT "${USB_DOTNET_MESSAGES}"
                   COMMAND python3 "${_usb_generator}" "${CMAKE_C_COMPILER}" "${PROJECT_SOURCE_DIR}/include/usbhelper.h"
                           "${USB_DOTNET_MESSAGES}"
                   DEPENDS "${_usb_generator}" "${PROJECT_SOURCE_DIR}/include/usbhelper.h"
                   COMMENT "Making the .NET message enum from usbhelper.h" VERBATIM)
add_custom_target(usb_dotnet_binding ALL DEPENDS "${USB_DOTNET_MESSAGES}")
unset(_usb_generator)
