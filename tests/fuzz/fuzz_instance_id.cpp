// Device paths and instance ids: the split never fails, whatever the text.
#include <cstdint>
#include <string>

#include "discovery/device_scan.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (char sep : {'#', '\\'}) {
        const USB::InstanceIdParts parts = USB::ParseInstanceId(text, sep);
        if (!parts.key.empty() && parts.key.compare(0, 4, "VID_") != 0)
            __builtin_trap();
    }
    return 0;
}
