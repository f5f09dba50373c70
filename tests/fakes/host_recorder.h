// Stands in for the host's callback: records every (id, payload) the library sends.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "usbhelper.h"

namespace USB {
namespace Fake {

struct HostMessage {
    int id;
    std::string json;
};

// One recorder at a time; constructing it clears what an earlier one saw.
class HostRecorder {
public:
    HostRecorder();
    ~HostRecorder();
    HostRecorder(const HostRecorder&) = delete;
    HostRecorder& operator=(const HostRecorder&) = delete;

    static void USB_CDECL Callback(int32_t id, const char* json);
    UsbUiCallback callback() const { return &HostRecorder::Callback; }

    std::vector<HostMessage> Messages() const;
    std::vector<HostMessage> WithId(int id) const;
    void Clear();
};

// A log or data file as text with "\n" line ends (Windows builds write "\r\n").
std::string UnixLines(const std::string& text);

}  // namespace Fake
}  // namespace USB
