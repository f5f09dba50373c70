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
// Whether the phone with this vendor/product key and Windows serial is still plugged in.
bool IsPhonePresent(UsbService& service, const std::string& vidPid, const std::string& serial);
// Whether a present USB device other than (vidPid, ownSerial) has this serial.
bool IsSerialOfAnotherDevice(const std::string& serial, const std::string& vidPid, const std::string& ownSerial);
// ADB interfaces of the devices whose id contains target, each with its own parent device; with
// a serial, only those of the device with that serial.
bool FindAdbInterfaces(UsbService& service, const std::wstring& target, std::vector<PhoneSystemInfo*>& out,
                       const std::string& serial = std::string());
bool FindAdbInterfacesWithRetry(UsbService& service, const std::wstring& target,
                                std::vector<PhoneSystemInfo*>& out, int retries,
                                const std::string& serial = std::string());
bool FindAdbInterfacesWithRetry(UsbService& service, const std::wstring& target,
                                std::vector<PhoneSystemInfo*>& out, int retries, PhoneSystemInfo& info,
                                const std::string& serial = std::string());
bool HasNoChild(const std::wstring& target);
// Whether an ADB driver interface of the model is present; with a serial, one of that device.
bool HasAdbDriverInterface(const std::string& vidPid, const std::string& serial = std::string());

}  // namespace USB
