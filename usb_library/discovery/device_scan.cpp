#include "discovery/device_scan.h"

// Placeholder scans: no device tree yet, so nothing is ever found.
namespace USB {
InstanceIdParts ParseInstanceId(const std::string& id, char separator)
{
    InstanceIdParts parts;
    std::string segs[3];
    size_t start = 0;
    for (int i = 0; i < 3; ++i) {
        size_t pos = id.find(separator, start);
        segs[i] = id.substr(start, pos == std::string::npos ? std::string::npos : pos - start);
        if (pos == std::string::npos)
            break;
        start = pos + 1;
    }
    const std::string& hw = segs[1];
    size_t amp = hw.find('&');
    if (amp != std::string::npos && amp >= 4) {
        size_t amp2 = hw.find('&', amp + 1);
        std::string pidPart = hw.substr(amp + 1, amp2 == std::string::npos ? std::string::npos : amp2 - amp - 1);
        if (pidPart.size() >= 4) {
            parts.vid = hw.substr(4, amp - 4);
            parts.pid = pidPart.substr(4);
            parts.key = "VID_" + parts.vid + "&PID_" + parts.pid;
        }
    }
    parts.serial = segs[2];
    return parts;
}
bool ScanPresentPhones(UsbService&, bool) { return false; }
bool BuildPhoneList(UsbService&, std::string&) { return false; }
int ClassifyDeviceChange(UsbService&, bool) { return 1; }
bool IsPhonePresent(UsbService&, const std::string&) { return true; }
bool FindAdbInterfaces(UsbService&, const std::wstring&, std::vector<PhoneSystemInfo*>&) { return false; }
bool FindAdbInterfacesWithRetry(UsbService&, const std::wstring&, std::vector<PhoneSystemInfo*>&, int) { return false; }
bool FindAdbInterfacesWithRetry(UsbService&, const std::wstring&, std::vector<PhoneSystemInfo*>&, int, PhoneSystemInfo& info)
{
    info.m_isAdbOpen = false;
    return false;
}
bool HasNoChild(const std::wstring&) { return false; }
bool HasAdbDriverInterface(const std::string&) { return false; }
}  // namespace USB
