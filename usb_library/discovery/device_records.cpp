#include "discovery/device_records.h"

#include <vector>

#include "support/json_utils.h"
#include "support/sys_utils.h"
#include "support/usb_log.h"

namespace USB {

bool UsbDeviceList::Add(DeviceRecord record)
{
    LockGuard guard(m_lock);
    if (m_devices.count(record.m_serial))
        return false;
    record.m_systemSn = record.m_serial;
    const std::string serial = record.m_serial;
    m_devices.emplace(serial, std::move(record));
    return true;
}

DeviceRecord* UsbDeviceList::FindLocked(const std::string& serial)
{
    auto it = m_devices.find(ToUpperAscii(serial));
    if (it != m_devices.end())
        return &it->second;
    it = m_devices.find(ToLowerAscii(serial));
    if (it != m_devices.end())
        return &it->second;
    return nullptr;
}

DeviceRecord* UsbDeviceList::FindBySn(const std::string& serial)
{
    LockGuard guard(m_lock);
    if (DeviceRecord* found = FindLocked(serial))
        return found;
    // A record that took the ADB server's serial is no longer under its key: any list size,
    // since another phone being present must not hide it.
    if (!serial.empty()) {
        for (auto& kv : m_devices) {
            USB_LOG("m_pDeviceSn is %s\n", kv.second.m_serial.c_str());
            USB_LOG("_id is %s\n", serial.c_str());
            if (kv.second.m_serial == serial)
                return &kv.second;
        }
    }
    return nullptr;
}

DeviceRecord* UsbDeviceList::FindByVidPid(const std::string& vidPid)
{
    LockGuard guard(m_lock);
    for (auto& kv : m_devices)
        if (kv.second.m_vidPid == vidPid)
            return &kv.second;
    return nullptr;
}

DeviceRecord* UsbDeviceList::FindByDeviceLocked(const std::string& vidPid, const std::string& serial)
{
    const std::string wanted = ToUpperAscii(serial);
    for (auto& kv : m_devices)
        if (kv.second.m_vidPid == vidPid && ToUpperAscii(kv.second.m_systemSn) == wanted)
            return &kv.second;
    return nullptr;
}

DeviceRecord* UsbDeviceList::FindByDevice(const std::string& vidPid, const std::string& serial)
{
    LockGuard guard(m_lock);
    return FindByDeviceLocked(vidPid, serial);
}

void UsbDeviceList::Remove(DeviceRecord* device)
{
    LockGuard guard(m_lock);
    for (auto it = m_devices.begin(); it != m_devices.end(); ++it) {
        if (&it->second == device) {
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

std::map<std::string, DeviceRecord*> UsbDeviceList::Snapshot()
{
    LockGuard guard(m_lock);
    std::map<std::string, DeviceRecord*> copy;
    for (auto& kv : m_devices)
        copy.emplace(kv.first, &kv.second);
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

void CopyFromInterface(DeviceRecord& device, const PhoneSystemInfo& info)
{
    device.m_description = info.m_description;
    const std::vector<std::string> parts = SplitHash(info.m_parentInstanceId);
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
    DeviceRecord device;
    CopyFromInterface(device, info);
    device.m_isAdbOpen = true;
    return list.Add(std::move(device));
}

void UpdateDeviceFromInterface(DeviceRecord& device, const PhoneSystemInfo& info)
{
    USB_LOG("phoneInfo->_phone_sn_instance_id is %s\n", info.m_parentInstanceId.c_str());
    CopyFromInterface(device, info);
}

bool CreateDeviceNode(UsbDeviceList& list, const PhoneSystemInfo& info, const std::string& vid, const std::string& pid)
{
    USB_LOG("this device is a phone by quering the whitelist\n");
    DeviceRecord device;
    device.m_isAdbOpen = info.m_isAdbOpen;
    device.m_vid = vid;
    device.m_pid = pid;
    device.m_vidPid = "VID_" + vid + "&PID_" + pid;
    device.m_serial = info.m_serial;
    device.m_description = info.m_description;
    return list.Add(std::move(device));
}

std::string DevicePayload(const DeviceRecord& device)
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
