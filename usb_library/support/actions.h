// The action messages: every text the listener, the scans and the host put into the service's
// queue is a JSON object whose "action" names one of these.
#pragma once

#include <string>

// X(enumerator, text)
#define USB_ACTIONS(X)                       \
    X(DeviceOnline, "DEVICE_ONLINE")         \
    X(DeviceOffline, "DEVICE_OFFLINE")       \
    X(DevnodesChanged, "DEVNODES_CHANGED")   \
    X(UsbRetry, "USB_RETRY")                 \
    X(KillAdbServer, "KILL-ADBSERVER")

namespace USB {

#define USB_ACTION_ENUMERATOR(name, text) name,
enum class Action { USB_ACTIONS(USB_ACTION_ENUMERATOR) Unknown };
#undef USB_ACTION_ENUMERATOR

inline const char* ActionText(Action action)
{
    switch (action) {
#define USB_ACTION_TEXT(name, text) \
    case Action::name:              \
        return text;
        USB_ACTIONS(USB_ACTION_TEXT)
#undef USB_ACTION_TEXT
    default:
        return "";
    }
}

// The action a text names, exactly (same bytes); Unknown for any other.
inline Action ActionOf(const std::string& text)
{
#define USB_ACTION_MATCH(name, value) \
    if (text == value)                \
        return Action::name;
    USB_ACTIONS(USB_ACTION_MATCH)
#undef USB_ACTION_MATCH
    return Action::Unknown;
}

}  // namespace USB
