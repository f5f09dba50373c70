// Records of USB devices: a phone as the decision and the scans find it, the record of a plugged
// phone, the list of current records keyed by serial, one line of the ADB listing, and the
// payloads that name a device to the host.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/usb_lock.h"

namespace USB {

// A phone as the phone decision sees it, or one of its ADB interfaces as the device-tree scan
// finds it.
struct PhoneSystemInfo {
    bool m_isAdbOpen = false;
    std::string m_description;       // in the system's ANSI code page, as the host gets it
    std::string m_parentInstanceId;  // an interface's device, '#'-separated
    std::string m_serial;
};

// The record of a plugged phone, from its arrival to its removal.
struct DeviceRecord {
    std::string m_serial;  // as the ADB server lists the phone once it did; its key in UsbDeviceList
    std::string m_vid;
    std::string m_pid;
    std::string m_vidPid;  // "VID_" + vid + "&PID_" + pid
    std::string m_description;
    std::string m_systemSn;    // the serial Windows reports, which the record was added under
    std::string m_driverFile;  // the driver package its last driver step fetched

    int32_t m_adbOpenRetry = 0;  // which of the two answers to WM_ADB_OPEN comes next
    bool m_isAdbOpen = false;
    bool m_isDriverOk = false;
};

// The scan's findings.
using PhoneInfos = std::vector<PhoneSystemInfo>;

class UsbDeviceList {
public:
    UsbDeviceList() = default;
    UsbDeviceList(const UsbDeviceList&) = delete;
    UsbDeviceList& operator=(const UsbDeviceList&) = delete;

    // False (the record is dropped) for a serial the list holds already.
    bool Add(DeviceRecord record) EXCLUDES(m_lock);
    DeviceRecord* FindBySn(const std::string& serial) EXCLUDES(m_lock);
    DeviceRecord* FindByVidPid(const std::string& vidPid) EXCLUDES(m_lock);
    // The record of one device: its vendor/product key and the serial Windows reports for it
    // (the serial it was added under, kept when the record takes the ADB server's serial).
    DeviceRecord* FindByDevice(const std::string& vidPid, const std::string& serial) EXCLUDES(m_lock);
    // Deletes this record, whatever its serial has become; unknown pointers are ignored.
    void Remove(DeviceRecord* device) EXCLUDES(m_lock);

    size_t Size() EXCLUDES(m_lock);
    // Copy of the map (serial -> record) for walks outside the lock.
    std::map<std::string, DeviceRecord*> Snapshot() EXCLUDES(m_lock);

private:
    DeviceRecord* FindLocked(const std::string& serial) REQUIRES(m_lock);
    DeviceRecord* FindByDeviceLocked(const std::string& vidPid, const std::string& serial) REQUIRES(m_lock);

    // A map's elements stay where they are while others come and go: the flows hold records by
    // pointer.
    Mutex m_lock;
    std::map<std::string, DeviceRecord> m_devices GUARDED_BY(m_lock);
};

// One line of the ADB server's device listing.
struct AdbDevice {
    AdbDevice() = default;
    AdbDevice(std::string serial, std::string state) : m_serial(std::move(serial)), m_state(std::move(state)) {}

    std::string m_serial;
    std::string m_state;
};

// Record makers: false when the list holds the serial already.
bool AddDeviceFromInterface(UsbDeviceList& list, const PhoneSystemInfo& info);
void UpdateDeviceFromInterface(DeviceRecord& device, const PhoneSystemInfo& info);
bool CreateDeviceNode(UsbDeviceList& list, const PhoneSystemInfo& info, const std::string& vid, const std::string& pid);

// {"b_adbopen","b_driver","device_desc","device_sn"} of a record, as the host gets it.
std::string DevicePayload(const DeviceRecord& device);
// {"device_sn"} alone.
std::string SerialPayload(const std::string& serial);

}  // namespace USB
