// One test's world for the scans and the phone decision: fake platform, device tree and
// registry installed, a whitelist file beside the fake host.
#pragma once

#include <string>

#include "cloud/cloud_client.h"
#include "discovery/device_records.h"
#include "fakes/fake_device_tree.h"
#include "fakes/fake_platform.h"
#include "fakes/fake_registry.h"
#include "identification/not_phone_cache.h"
#include "identification/phone_decision.h"
#include "identification/whitelist.h"
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

// The phone decision over a whitelist, a not-a-phone cache and a cloud client of its own, and the
// device records the scans look at: what the service builds them from.
struct DecisionPieces {
    WhiteList whiteList;
    NotPhoneCache notPhoneCache;
    CloudClient cloud{"http://cloud.test"};
    PhoneDecision decision{whiteList, notPhoneCache, cloud};
    UsbDeviceList devices;
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
