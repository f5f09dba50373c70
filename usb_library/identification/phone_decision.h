// Is a USB device a phone we should take up? Full and short forms, with a negative cache.
#pragma once

#include <string>
#include <vector>

#include "cloud/cloud_client.h"
#include "discovery/device_records.h"
#include "identification/whitelist.h"
#include "identification/not_phone_cache.h"

namespace USB {

struct InstanceIdParts;

// Ids are '#'-separated instance ids ("USB#VID_xxxx&PID_yyyy#serial").
class PhoneDecision {
public:
    PhoneDecision(WhiteList& whiteList, NotPhoneCache& notPhoneCache, CloudClient& cloud)
        : m_whiteList(whiteList), m_notPhoneCache(notPhoneCache), m_cloud(cloud)
    {
    }
    PhoneDecision(const PhoneDecision&) = delete;
    PhoneDecision& operator=(const PhoneDecision&) = delete;

    // The whitelist, the cloud, the neighbouring ids, then the device's own ADB interfaces.
    bool IsPhoneFull(const std::string& id);
    // The whitelist and the neighbouring ids only: nothing leaves the machine.
    bool IsPhoneShort(const std::string& id);
    bool CheckExactFull(PhoneSystemInfo& info, const std::string& id);
    bool CheckExactShort(const std::string& vid, const std::string& pid, PhoneSystemInfo& info);
    bool CheckNeighbourPids(PhoneSystemInfo& info, const std::string& id, bool localOnly);
    bool QueryNeighbour(const std::string& vid, const std::string& oldPid, const std::string& newPid,
                        PhoneSystemInfo& info, bool localOnly);
    bool CheckBySystem(const std::string& id, PhoneInfos& out, int retries);

private:
    bool KnownAndNotCached(const InstanceIdParts& parts);

    WhiteList& m_whiteList;
    NotPhoneCache& m_notPhoneCache;
    CloudClient& m_cloud;
};

}  // namespace USB
