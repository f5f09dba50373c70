#include "discovery/device_records.h"

#include <vector>

#include "support/json_utils.h"
#include "support/sys_utils.h"
#include "support/usb_log.h"

namespace USB {

bool UsbDeviceList::Add(std::unique_ptr<UsbDevice> device)
{
    LockGuard guard(m_lock);
    if (!device || m_devices.count(device->m_serial))
        return false;
    device->m_systemSn = device->m_serial;
    const std::string serial = device->m_serial;
    m_devices.emplace(serial, std::move(device));
    return true;
}

UsbDevice* UsbDeviceList::FindUnlocked(const std::string& serial)
{
    auto it = m_devices.find(ToUpperAscii(serial));
    if (it != m_devices.end())
        return it->second.get();
    it = m_devices.find(ToLowerAscii(serial));
    if (it != m_devices.end())
        return it->second.get();
    return nullptr;
}

UsbDevice* UsbDeviceList::FindBySn(const std::string& serial)
{
    LockGuard guard(m_lock);
    if (UsbDevice* found = FindUnlocked(serial))
        return found;
    // A record that took the ADB server's serial is no longer under its key: any list size,
    // since another phone being present must not hide it.
    if (!serial.empty()) {
        for (auto& kv : m_devices) {
            USB_LOG("m_pDeviceSn is %s\n", kv.second->m_serial.c_str());
            USB_LOG("_id is %s\n", serial.c_str());
            if (kv.second->m_serial == serial)
                return kv.second.get();
        }
    }
    return nullptr;
}

UsbDevice* UsbDeviceList::FindByVidPid(const std::string& vidPid)
{
    LockGuard guard(m_lock);
    for (auto& kv : m_devices)
        if (kv.second->m_vidPid == vidPid)
            return kv.second.get();
    return nullptr;
}

UsbDevice* UsbDeviceList::FindByDeviceUnlocked(const std::string& vidPid, const std::string& serial)
{
    const std::string wanted = ToUpperAscii(serial);
    for (auto& kv : m_devices)
        if (kv.second->m_vidPid == vidPid && ToUpperAscii(kv.second->m_systemSn) == wanted)
            return kv.second.get();
    return nullptr;
}

UsbDevice* UsbDeviceList::FindByDevice(const std::string& vidPid, const std::string& serial)
{
    LockGuard guard(m_lock);
    return FindByDeviceUnlocked(vidPid, serial);
}

void UsbDeviceList::Remove(UsbDevice* device)
{
    LockGuard guard(m_lock);
    for (auto it = m_devices.begin(); it != m_devices.end(); ++it) {
        if (it->second.get() == device) {
            m_devices.erase(it);
            return;
        }
    }
}

size_t UsbDeviceList::Size()
{
    LockGuard guard(m_lock);
    return m_devices.size();
}

std::map<std::string, UsbDevice*> UsbDeviceList::Snapshot()
{
    LockGuard guard(m_lock);
    std::map<std::string, UsbDevice*> copy;
    for (const auto& kv : m_devices)
        copy.emplace(kv.first, kv.second.get());
    return copy;
}

namespace {

std::vector<std::string> SplitHash(const std::string& text)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t pos = text.find('#', start);
        parts.push_back(text.substr(start, pos == std::string::npos ? std::string::npos : pos - start));
        if (pos == std::string::npos)
            break;
        start = pos + 1;
    }
    return parts;
}

std::string DropFour(const std::string& text)
{
    return text.size() > 4 ? text.substr(4) : std::string();
}

void CopyFromInterface(UsbDevice& device, const PhoneSystemInfo& info)
{
    device.m_interfaceId = WideToNarrow(info.m_interfaceId);
    device.m_compatibleId = WideToNarrow(info.m_compatibleId);
    device.m_hardwareId = WideToNarrow(info.m_hardwareId);
    device.m_description = WideToNarrow(info.m_description);
    const std::vector<std::string> parts = SplitHash(WideToNarrow(info.m_parentInstanceId));
    device.m_enumerator = parts.size() > 0 ? parts[0] : std::string();
    if (parts.size() > 1) {
        const std::string& hw = parts[1];
        size_t amp = hw.find('&');
        device.m_vid = DropFour(hw.substr(0, amp));
        device.m_pid = amp == std::string::npos ? std::string() : DropFour(hw.substr(amp + 1));
    } else {
        device.m_vid.clear();
        device.m_pid.clear();
    }
    device.m_vidPid = "VID_" + device.m_vid + "&PID_" + device.m_pid;
    device.m_serial = parts.size() > 2 ? parts[2] : std::string();
}

}  // namespace

bool AddDeviceFromInterface(UsbDeviceList& list, const PhoneSystemInfo& info)
{
    std::unique_ptr<UsbDevice> device(new UsbDevice());
    CopyFromInterface(*device, info);
    device->m_fromList = true;
    device->m_isAdbOpen = true;
    return list.Add(std::move(device));
}

void UpdateDeviceFromInterface(UsbDevice& device, const PhoneSystemInfo& info)
{
    USB_LOG("phoneInfo->_phone_sn_instance_id is %s\n", WideToNarrow(info.m_parentInstanceId).c_str());
    CopyFromInterface(device, info);
}

bool CreateDeviceNode(UsbDeviceList& list, const PhoneSystemInfo& info, const std::string& vid, const std::string& pid)
{
    USB_LOG("this device is a phone by quering the whitelist\n");
    std::unique_ptr<UsbDevice> device(new UsbDevice());
    device->m_isAdbOpen = info.m_isAdbOpen;
    device->m_vid = vid;
    device->m_pid = pid;
    device->m_vidPid = "VID_" + vid + "&PID_" + pid;
    device->m_serial = WideToNarrow(info.m_serial);
    device->m_description = WideToNarrow(info.m_description);
    device->m_fromList = true;
    return list.Add(std::move(device));
}

std::string DevicePayload(const UsbDevice& device)
{
    Json::Value payload(Json::objectValue);
    payload["device_sn"] = device.m_serial;
    payload["device_desc"] = device.m_description;
    payload["b_adbopen"] = device.m_isAdbOpen;
    payload["b_driver"] = device.m_isDriverOk;
    return WriteJson(payload);
}

std::string SerialPayload(const std::string& serial)
{
    Json::Value payload(Json::objectValue);
    payload["device_sn"] = serial;
    return WriteJson(payload);
}

}  // namespace USB
