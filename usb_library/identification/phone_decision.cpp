#include "identification/phone_decision.h"

#include "discovery/device_scan.h"
#include "pipeline/driver_provisioning.h"
#include "service/USB_Service.h"
#include "support/sys_utils.h"
#include "support/usb_log.h"

namespace USB {

namespace {

std::string MakeKey(const std::string& vid, const std::string& pid)
{
    return "VID_" + vid + "&" + "PID_" + pid;
}

void DeleteAll(std::vector<PhoneSystemInfo*>& records)
{
    for (PhoneSystemInfo* p : records)
        delete p;
    records.clear();
}

}  // namespace

bool IsPhoneFull(UsbService& service, const std::string& id)
{
    PhoneSystemInfo info;
    if (CheckExactFull(info, service, id))
        return true;
    if (CheckNeighbourPids(info, service, id, false))
        return true;
    {
        // An interface's instance part is no device serial: ask for the model then.
        const InstanceIdParts parts = ParseInstanceId(id, '#');
        WaitForWindowsDriverInstall(parts.key, id.find("MI_") == std::string::npos ? parts.serial : std::string());
    }
    std::vector<PhoneSystemInfo*> interfaces;
    const bool phone = CheckBySystem(service, id, interfaces, 0);
    DeleteAll(interfaces);
    return phone;
}

bool IsPhoneShort(UsbService& service, const std::string& id)
{
    PhoneSystemInfo info;
    const InstanceIdParts parts = ParseInstanceId(id, '#');
    if (CheckExactShort(service, parts.vid, parts.pid, info))
        return true;
    return CheckNeighbourPids(info, service, id, true);
}

namespace {

// The gate of the full checks: a vendor we know, and no earlier "not a phone" for this model.
bool KnownAndNotCached(UsbService& service, const InstanceIdParts& parts)
{
    // Ids may come from any local process (WM_COPYDATA, IUSB_isPhone): only four hex digits
    // go on to the log, the cloud and the installers.
    if (!AcceptIds(parts.vid, parts.pid))
        return false;
    if (!service.m_whiteList.HasVendor(parts.vid)) {
        USB_LOG("no this vendor %s\n", parts.vid.c_str());
        return false;
    }
    return !service.VendorCacheHas(parts.key);
}

}  // namespace

bool CheckExactFull(PhoneSystemInfo& info, UsbService& service, const std::string& id)
{
    const InstanceIdParts parts = ParseInstanceId(id, '#');
    if (!KnownAndNotCached(service, parts))
        return false;
    if (service.m_whiteList.Query(parts.key, info)) {
        USB_LOG("this is a phone via query whitelist\n");
        info.m_serial = NarrowToWide(parts.serial);
        return true;
    }
    if (service.m_cloud.QueryDevice(info, parts.vid, parts.pid)) {
        USB_LOG("this is a phone via query cloud\n");
        info.m_serial = NarrowToWide(parts.serial);
        return true;
    }
    return false;
}

bool CheckExactShort(UsbService& service, const std::string& vid, const std::string& pid, PhoneSystemInfo& info)
{
    if (service.m_whiteList.Query(MakeKey(vid, pid), info)) {
        USB_LOG("this is a phone via query whitelist\n");
        return true;
    }
    return false;
}

bool CheckNeighbourPids(PhoneSystemInfo& info, UsbService& service, const std::string& id, bool localOnly)
{
    const InstanceIdParts parts = ParseInstanceId(id, '#');
    if (!KnownAndNotCached(service, parts))
        return false;
    info.m_serial = NarrowToWide(parts.serial);
    const std::string upper = ToUpperAscii(HexIdPlusOne(parts.pid));
    const std::string lower = ToUpperAscii(HexIdMinusOne(parts.pid));
    if (QueryNeighbour(parts.vid, parts.pid, service, upper, info, localOnly) ||
        QueryNeighbour(parts.vid, parts.pid, service, lower, info, localOnly)) {
        info.m_isAdbOpen = false;
        // The short form stays off the network; the full form tells the cloud about the new id.
        if (!localOnly)
            service.m_cloud.ReportDriver(parts.vid, parts.pid);
        return true;
    }
    service.VendorCacheAdd(parts.key);
    return false;
}

bool QueryNeighbour(const std::string& vid, const std::string& oldPid, UsbService& service,
                    const std::string& newPid, PhoneSystemInfo& info, bool localOnly)
{
    const std::string key = MakeKey(vid, newPid);
    USB_LOG("_oldpid is %s\n", oldPid.c_str());
    USB_LOG("_newpid is %s\n", newPid.c_str());
    USB_LOG("_newvidpid is %s\n", key.c_str());
    if (service.m_whiteList.Query(key, info)) {
        USB_LOG("this is a phone via query whitelist\n");
        return true;
    }
    if (!localOnly && service.m_cloud.QueryDevice(info, vid, newPid)) {
        USB_LOG("this is a phone via query cloud\n");
        return true;
    }
    return false;
}

bool CheckBySystem(UsbService& service, const std::string& id, std::vector<PhoneSystemInfo*>& out, int retries)
{
    const InstanceIdParts parts = ParseInstanceId(id, '#');
    if (!KnownAndNotCached(service, parts))
        return false;
    USB_LOG("check if this device a phone by system %s\n", id.c_str());
    // A whole device is a phone by its own ADB interfaces, not by another phone's of its model.
    const std::string owner = id.find("MI_") == std::string::npos ? parts.serial : std::string();
    if (!FindAdbInterfacesWithRetry(service, NarrowToWide(parts.key), out, retries, owner))
        return false;
    USB_LOG("this device is a phone via registry\n");
    service.m_cloud.ReportDriver(parts.vid, parts.pid);
    return true;
}

bool HasPhoneDecision(UsbService& service)
{
    if (ClassifyDeviceChange(service, true) == 0)
        return true;
    service.WhitelistDigestStep();
    service.ClearVendorCache();
    return ClassifyDeviceChange(service, false) == 0;
}

}  // namespace USB
