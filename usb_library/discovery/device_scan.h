// Scans of the Windows device tree: present phones, the phone list, ADB interfaces,
// child nodes and ADB driver interfaces.
#pragma once

#include <string>
#include <vector>

#include "discovery/USB_DeviceList.h"

namespace USB {

class UsbService;

struct InstanceIdParts {
    std::string key;     // "VID_" + vid + "&PID_" + pid, or "" when the id has no '&'
    std::string vid;
    std::string pid;
    std::string serial;
};

// Splits "USB<sep>VID_xxxx&PID_yyyy[&MI_zz]<sep>serial[<sep>...]".
InstanceIdParts ParseInstanceId(const std::string& id, char separator);

bool ScanPresentPhones(UsbService& service, bool shortDecision);
bool BuildPhoneList(UsbService& service, std::string& out);
int ClassifyDeviceChange(UsbService& service, bool shortDecision);
bool IsPhonePresent(UsbService& service, const std::string& vidPid);
bool FindAdbInterfaces(UsbService& service, const std::wstring& target, std::vector<PhoneSystemInfo*>& out);
bool FindAdbInterfacesWithRetry(UsbService& service, const std::wstring& target,
                                std::vector<PhoneSystemInfo*>& out, int retries);
bool FindAdbInterfacesWithRetry(UsbService& service, const std::wstring& target,
                                std::vector<PhoneSystemInfo*>& out, int retries, PhoneSystemInfo& info);
bool HasNoChild(const std::wstring& target);
bool HasAdbDriverInterface(const std::string& vidPid);

}  // namespace USB
