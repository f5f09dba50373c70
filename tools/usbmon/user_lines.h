// What usbmon and its doctor print for the user under a message that ends a phone's flow, from
// the header's table: "user: LINE" and the host's answer, if it has one.
#pragma once

#include <string>

#include "usbhelper.h"

namespace usbmon {

// "" for a message that ends no flow.
inline std::string UserLine(int id)
{
    switch (id) {
#define USBMON_USER_LINE(constant, line, answer) \
    case constant:                               \
        return std::string("user: ") + line + (*answer ? std::string(" (host answer: ") + answer + ")" : "");
        USB_UI_USER_LINES(USBMON_USER_LINE)
#undef USBMON_USER_LINE
    default:
        return std::string();
    }
}

}  // namespace usbmon
