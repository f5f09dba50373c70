#include "identification/phone_decision.h"

#include "discovery/device_scan.h"
#include "support/sys_utils.h"
#include "support/usb_log.h"

namespace USB {

namespace {

std::string MakeKey(const std::string& vid, const std::string& pid)
{
    return "VID_" + vid + "&" + "PID_" + pid;
}

}  // namespace

bool PhoneDecision::IsPhoneFull(const std::string& id)
{
    PhoneSystemInfo info;
    if (CheckExactFull(info, id))
        return true;
    if (CheckNeighbourPids(info, id, false))
        return true;
    {
        // An interface's instance part is no device serial: ask for the model then.
        const InstanceIdParts parts = ParseInstanceId(id, '#');
        WaitForWindowsDriverInstall(parts.key, id.find("MI_") == std::string::npos ? parts.serial : std::string());
    }
    PhoneInfos interfaces;
    return CheckBySystem(id, interfaces, 0);
}

bool PhoneDecision::IsPhoneShort(const std::string& id)
{
    PhoneSystemInfo info;
    const InstanceIdParts parts = ParseInstanceId(id, '#');
    if (CheckExactShort(parts.vid, parts.pid, info))
        return true;
    return CheckNeighbourPids(info, id, true);
}

// The gate of the full checks: a vendor we know, and no earlier "not a phone" for this model.
bool PhoneDecision::KnownAndNotCached(const InstanceIdParts& parts)
{
    // Ids may come from any local process (WM_COPYDATA, IUSB_isPhone): only four hex digits
    // go on to the log, the cloud and the installers.
    if (!AcceptIds(parts.vid, parts.pid))
        return false;
    if (!m_whiteList.HasVendor(parts.vid)) {
        USB_LOG("no this vendor %s\n", parts.vid.c_str());
        return false;
    }
    return !m_notPhoneCache.Has(parts.key);
}

bool PhoneDecision::CheckExactFull(PhoneSystemInfo& info, const std::string& id)
{
    const InstanceIdParts parts = ParseInstanceId(id, '#');
    if (!KnownAndNotCached(parts))
        return false;
    if (m_whiteList.Query(parts.key, info)) {
        USB_LOG("this is a phone via query whitelist\n");
        info.m_serial = parts.serial;
        return true;
    }
    if (m_cloud.QueryDevice(info, parts.vid, parts.pid)) {
        USB_LOG("this is a phone via query cloud\n");
        info.m_serial = parts.serial;
        return true;
    }
    return false;
}

bool PhoneDecision::CheckExactShort(const std::string& vid, const std::string& pid, PhoneSystemInfo& info)
{
    if (m_whiteList.Query(MakeKey(vid, pid), info)) {
        USB_LOG("this is a phone via query whitelist\n");
        return true;
    }
    return false;
}

bool PhoneDecision::CheckNeighbourPids(PhoneSystemInfo& info, const std::string& id, bool localOnly)
{
    const InstanceIdParts parts = ParseInstanceId(id, '#');
    if (!KnownAndNotCached(parts))
        return false;
    info.m_serial = parts.serial;
    const std::string upper = ToUpperAscii(HexIdPlusOne(parts.pid));
    const std::string lower = ToUpperAscii(HexIdMinusOne(parts.pid));
    if (QueryNeighbour(parts.vid, parts.pid, upper, info, localOnly) ||
        QueryNeighbour(parts.vid, parts.pid, lower, info, localOnly)) {
        info.m_isAdbOpen = false;
        // The short form stays off the network; the full form tells the cloud about the new id.
        if (!localOnly)
            m_cloud.ReportDriver(parts.vid, parts.pid);
        return true;
    }
    // Not cached here: the device's own ADB interface (the system check) may still make it a phone.
    return false;
}

bool PhoneDecision::QueryNeighbour(const std::string& vid, const std::string& oldPid, const std::string& newPid,
                                   PhoneSystemInfo& info, bool localOnly)
{
    const std::string key = MakeKey(vid, newPid);
    USB_LOG("_oldpid is %s\n", oldPid.c_str());
    USB_LOG("_newpid is %s\n", newPid.c_str());
    USB_LOG("_newvidpid is %s\n", key.c_str());
    if (m_whiteList.Query(key, info)) {
        USB_LOG("this is a phone via query whitelist\n");
        return true;
    }
    if (!localOnly && m_cloud.QueryDevice(info, vid, newPid)) {
        USB_LOG("this is a phone via query cloud\n");
        return true;
    }
    return false;
}

bool PhoneDecision::CheckBySystem(const std::string& id, PhoneInfos& out, int retries)
{
    const InstanceIdParts parts = ParseInstanceId(id, '#');
    if (!KnownAndNotCached(parts))
        return false;
    USB_LOG("check if this device a phone by system %s\n", id.c_str());
    // A whole device is a phone by its own ADB interfaces, not by another phone's of its model.
    const std::string owner = id.find("MI_") == std::string::npos ? parts.serial : std::string();
    if (!FindAdbInterfacesWithRetry(parts.key, out, retries, owner)) {
        // The last check said no as well: the model is not asked about again.
        m_notPhoneCache.Add(parts.key);
        return false;
    }
    USB_LOG("this device is a phone via registry\n");
    m_cloud.ReportDriver(parts.vid, parts.pid);
    return true;
}

}  // namespace USB
