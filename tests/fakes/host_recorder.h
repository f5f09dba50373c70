// The one host-callback recorder: records every (id, payload) the library sends.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fakes/transcript.h"
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
    // One line per message: its name (the id when it has none) and its payload.
    std::string Transcript() const;
    void Clear();
};

}  // namespace Fake
}  // namespace USB
