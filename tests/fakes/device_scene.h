// One test's world for the scans and the phone decision: fake platform, device tree and
// registry installed, a whitelist file beside the fake host, a service object of its own.
#pragma once

#include <string>

#include "fakes/fake_device_tree.h"
#include "fakes/fake_platform.h"
#include "fakes/fake_registry.h"
#include "support/sys_utils.h"

namespace USB {
namespace Fake {

class Scene {
public:
    Scene()
    {
        platform.ports.deviceTree = &tree;
        platform.ports.registry = &registry;
    }

    // The file shipped beside the host executable.
    void WriteShippedWhitelist(const std::string& json) { WriteFile(GetExeDirectory() + "whitelist.json", json); }
    // The copy the whitelist update downloads into the data directory.
    void WriteCloudWhitelist(const std::string& json)
    {
        WriteFile(platform.DataDirectory() + "cloudwhitelist.json", json);
    }

    Platform platform;
    DeviceTree tree;
    Registry registry;
};

// {"data":[{"vid":..,"pid":..,"description":..,"isadbopen":..}]} with one entry.
inline std::string Entry(const std::string& vid, const std::string& pid, const std::string& description,
                         const std::string& isadbopen)
{
    return "{\"vid\":\"" + vid + "\",\"pid\":\"" + pid + "\",\"description\":\"" + description + "\",\"isadbopen\":\"" +
           isadbopen + "\"}";
}

inline std::string FileOf(const std::string& entries)
{
    return "{\"data\":[" + entries + "]}";
}

}  // namespace Fake
}  // namespace USB
