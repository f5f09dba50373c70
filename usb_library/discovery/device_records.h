// Records of USB devices: a phone as a scan finds it, the long-lived device record, the list of
// current devices keyed by serial, one line of the ADB listing, and the payloads that name a
// device to the host.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/usb_lock.h"

namespace USB {

// One phone (or ADB interface) as the device-tree scan finds it; UTF-16 texts.
class PhoneSystemInfo {
public:
    virtual ~PhoneSystemInfo() = default;

    bool m_isAdbOpen = false;
    std::wstring m_description;       // code-page text, a byte per unit: WideToNarrow gives the bytes
    std::wstring m_parentInstanceId;  // parent instance id, '#'-separated
    std::wstring m_compatibleId;
    std::wstring m_hardwareId;
    std::wstring m_interfaceId;
    std::wstring m_deviceUrl;
    std::wstring m_serial;
};

class UsbDevice {
public:
    virtual ~UsbDevice() = default;

    std::string m_serial;  // serial; the key in UsbDeviceList
    std::string m_vid;
    std::string m_pid;
    std::string m_interfaceId;
    std::string m_compatibleId;
    std::string m_hardwareId;
    std::string m_vidPid;  // "VID_" + vid + "&PID_" + pid
    std::string m_deviceUrl;
    std::string m_generalDriverUrl;
    std::string m_vidDriverUrl;
    std::string m_fileMd5;
    std::string m_generalDriverMd5;
    std::string m_vidDriverMd5;
    std::string m_driverFile;
    std::string m_enumerator;
    std::string m_description;
    std::string m_systemSn;  // serial the record was added under

    int32_t m_adbOpenRetry = 0;
    bool m_fromList = false;
    bool m_isAdbOpen = false;
    bool m_isDriverOk = false;
    UsbCLock m_lock;
};

// The scan's findings, owned by whoever asked for them.
using PhoneInfos = std::vector<std::unique_ptr<PhoneSystemInfo>>;

class UsbDeviceList {
public:
    UsbDeviceList() = default;
    virtual ~UsbDeviceList() = default;
    UsbDeviceList(const UsbDeviceList&) = delete;
    UsbDeviceList& operator=(const UsbDeviceList&) = delete;

    // False (the record is dropped) for null or a serial the list holds already.
    bool Add(std::unique_ptr<UsbDevice> device);
    UsbDevice* FindBySn(const std::string& serial);
    UsbDevice* FindByVidPid(const std::string& vidPid);
    // The record of one device: its vendor/product key and the serial Windows reports for it
    // (the serial it was added under, kept when the record takes the ADB server's serial).
    UsbDevice* FindByDevice(const std::string& vidPid, const std::string& serial);
    // Deletes this record, whatever its serial has become; unknown pointers are ignored.
    void Remove(UsbDevice* device);

    size_t Size();
    // Copy of the map (serial -> record) for walks outside the lock.
    std::map<std::string, UsbDevice*> Snapshot();

private:
    UsbDevice* FindUnlocked(const std::string& serial);
    UsbDevice* FindByDeviceUnlocked(const std::string& vidPid, const std::string& serial);

    std::map<std::string, std::unique_ptr<UsbDevice>> m_devices;
    UsbCLock m_lock;
};

// One line of the ADB server's device listing.
class AdbDevice {
public:
    AdbDevice() = default;
    AdbDevice(std::string serial, std::string state) : m_serial(std::move(serial)), m_state(std::move(state)) {}
    virtual ~AdbDevice() = default;

    std::string m_serial;
    std::string m_state;
};

// Record makers: false when the list holds the serial already.
bool AddDeviceFromInterface(UsbDeviceList& list, const PhoneSystemInfo& info);
void UpdateDeviceFromInterface(UsbDevice& device, const PhoneSystemInfo& info);
bool CreateDeviceNode(UsbDeviceList& list, const PhoneSystemInfo& info, const std::string& vid, const std::string& pid);

// {"b_adbopen","b_driver","device_desc","device_sn"} of a record, as the host gets it.
std::string DevicePayload(const UsbDevice& device);
// {"device_sn"} alone.
std::string SerialPayload(const std::string& serial);

}  // namespace USB
