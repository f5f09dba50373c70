#include "pipeline/connection.h"

#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "discovery/device_scan.h"
#include "pipeline/adb_loader.h"
#include "pipeline/adb_watch.h"
#include "pipeline/pipeline.h"
#include "support/json_utils.h"
#include "support/ports/ports.h"
#include "support/sys_utils.h"
#include "support/usb_event.h"
#include "support/usb_log.h"

namespace USB {

namespace {

// One wait on the server's pushed list: short, so that a stopping service is noticed at once.
constexpr unsigned kListWaitSliceMs = 100;

// What of a listing can end a wait for `serial` (none: for the serial correction): the lines of
// that serial as FindAdbDevice matches them, and the only line when there is just one.
std::string ListingView(const std::map<std::string, std::string>& entries, const std::string& serial)
{
    std::string view;
    for (const auto& kv : entries)
        if (!serial.empty() && (serial == ToLowerAscii(kv.first) || serial == ToUpperAscii(kv.first)))
            view += kv.first + "\t" + kv.second + "\n";
    if (entries.size() == 1)
        view += "only " + entries.begin()->first + "\t" + entries.begin()->second + "\n";
    return view;
}

// The pause between two listing attempts: until the server's pushed list changes in what may
// answer the next attempt, at most `ms`. Without tracking (an older bridge, an older server)
// the plain pause. Gives up (by throwing) once the service stops.
void PauseForListing(uint32_t ms, const ConnectionPipeline::AdbListing& listed, const std::string& serial)
{
    UsbAdb& adb = TheAdb();
    ClockPort* clock = GetPorts().clock;
    if (!adb.AdbWaitDeviceListChange || !adb.AdbGetTrackedDevices || !clock) {
        PauseMs(ms);
        return;
    }
    std::map<std::string, std::string> seen;
    for (const auto& kv : listed)
        seen.emplace(kv.first, kv.second->m_state);
    const std::string before = ListingView(seen, serial);
    const uint64_t start = clock->NowMs();
    auto left = [&]() -> uint32_t {
        const uint64_t elapsed = clock->NowMs() - start;
        return elapsed >= ms ? 0 : ms - static_cast<uint32_t>(elapsed);
    };
    std::vector<char> buffer(kListingBufferSize, '\0');
    unsigned generation = 0;  // the first wait returns at once with the list the server has now
    for (uint32_t wait = left(); wait > 0; wait = left()) {
        if (WorkCalledOff())
            throw WorkAbandoned();
        const int changed =
            adb.AdbWaitDeviceListChange(generation, wait < kListWaitSliceMs ? wait : kListWaitSliceMs, &generation);
        if (changed == 0)
            continue;
        if (changed < 0 || adb.AdbGetTrackedDevices(buffer.data(), kListingBufferSize, &generation) < 0) {
            PauseMs(left());
            return;
        }
        buffer[kListingBufferSize - 1] = '\0';
        if (ListingView(ParseAdbListing(buffer.data()), serial) != before)
            return;
    }
    if (WorkCalledOff())
        throw WorkAbandoned();
}

// How the ADB server lists an Android emulator: "emulator-" and its console port.
bool IsEmulatorSerial(const std::string& serial)
{
    static const std::string kPrefix = "emulator-";
    return serial.size() > kPrefix.size() && serial.compare(0, kPrefix.size(), kPrefix) == 0 &&
           serial.find_first_not_of("0123456789", kPrefix.size()) == std::string::npos;
}

// The only listed serial stands for this phone unless another plugged device has it, or it is
// an emulator (a developer's running emulator is no USB phone).
bool MayAdopt(const UsbDevice& device, const AdbDevice& entry)
{
    if (IsEmulatorSerial(entry.m_serial)) {
        USB_LOG("adb phone dev_sn %s is an emulator\n", entry.m_serial.c_str());
        return false;
    }
    if (!IsSerialOfAnotherDevice(entry.m_serial, device.m_vidPid, device.m_systemSn))
        return true;
    USB_LOG("adb phone dev_sn %s belongs to another device\n", entry.m_serial.c_str());
    return false;
}

// Whether a record of another device holds this device's serial; a phone's own second ADB
// interface finds its own record, which is no conflict.
bool HeldByAnotherDevice(UsbDeviceList& list, const InstanceIdParts& device)
{
    UsbDevice* holder = list.FindBySn(device.serial);
    return holder &&
           !(holder->m_vidPid == device.key && ToUpperAscii(holder->m_systemSn) == ToUpperAscii(device.serial));
}

}  // namespace

std::vector<std::string> SplitString(const std::string& text, const std::string& delimiter, const std::string& filler)
{
    std::vector<std::string> pieces;
    if (text.empty() || delimiter.empty())
        return pieces;
    size_t start = 0;
    for (;;) {
        const size_t pos = text.find(delimiter, start);
        const std::string piece = text.substr(start, pos == std::string::npos ? std::string::npos : pos - start);
        pieces.push_back(piece.empty() ? filler : piece);
        if (pos == std::string::npos)
            break;
        start = pos + delimiter.size();
    }
    return pieces;
}

int ConnectionPipeline::CheckConnection(UsbDevice* device)
{
    if (!device)
        return kStepEnded;
    m_downloadDevice = device;
    if (!device->m_isAdbOpen) {
        USB_LOG("notify ui the adb debug do not open\n");
        m_context.track += "dmfail-->";
        m_context.track.Write(true);
        SendDeviceToUi(device, USB_WM_ADB_OPEN);
    } else {
        m_context.track += "dmok-->";
        USB_LOG("this device's adbdebug ok\n");
        m_context.track += "checkdriver-->";
        if (CheckDriver(device) == kStepPassed) {
            USB_LOG("this device's driver ok\n");
            m_context.track += "driverok-->";
            m_context.track += "checkadb-->";
            CheckAdbConnection(device);
        }
    }
    m_downloadDevice = nullptr;
    return kStepEnded;
}

int ConnectionPipeline::CheckAdbConnection(UsbDevice* device)
{
    if (!device)
        return -1;
    SendDeviceToUi(device, USB_WM_CHECKING_ADB_CONNECTING);
    USB_LOG("step:3->notify ui to check the adb CONNECTING...\n");
    return CheckAdbStatus(device);
}

int ConnectionPipeline::CheckAdbStatus(UsbDevice* device)
{
    AdbDevice* entry = nullptr;
    bool found = false;
    if (device->m_serial.find('&') != std::string::npos) {
        // Windows made up an instance id: the phone reports no serial of its own.
        USB_LOG("this system sn has error\n");
        for (int attempt = 0; attempt < kSerialFixAttempts && !found; ++attempt) {
            {
                LockGuard guard(m_context.deviceLock);
                if (device->m_stop) {
                    device->m_stop = false;
                    USB_LOG("this device had been pluged out\n");
                    break;
                }
                RefreshAdbDevices();
                if (m_adbDevices.size() == 1 && MayAdopt(*device, *m_adbDevices.begin()->second)) {
                    USB_LOG("the system is not the same serial number as the adbserver, we need to change it "
                            "according to the adbserver\n");
                    entry = m_adbDevices.begin()->second.get();
                    device->m_systemSn = device->m_serial;
                    device->m_serial = entry->m_serial;
                    found = true;
                    break;
                }
            }
            PauseForListing(1000, m_adbDevices, std::string());
        }
    } else {
        for (int attempt = 0; attempt < kStatusAttempts; ++attempt) {
            entry = FindAdbDevice(device);
            if (!entry)
                break;
            found = true;
            if (entry->m_state == "device")
                break;
            if (entry->m_state == "offline") {
                USB_LOG("the device status is offline, recheck...\n");
                PauseMs(200);
            }
        }
        if (!entry)
            found = false;
    }

    if (found) {
        SendDeviceToUi(device, USB_WM_CHECKING_ADB_DEVICE_STATUS);
        if (entry->m_state == "device") {
            USB_LOG("step:4->check if the apk was installed?\n");
            SendDeviceToUi(device, USB_WM_DEVICE_ONLINE);
        } else if (entry->m_state == "offline") {
            USB_LOG("notify ui this device is offline, need to restart the adbd of the phone\n");
            SendDeviceToUi(device, USB_WM_PHONE_ADBDEBUG_EXCEPTION);
            m_context.track += "ADB_CHECK_DEVICE_OFFLINE";
            m_context.track.Write(false);
            WaitUntilListedOnline(device);
        } else {
            USB_LOG("unkown status..\n");
            if (entry->m_state == "unauthorized") {
                SendDeviceToUi(device, USB_WM_DEVICE_UNAUTHORIZED);
                WaitUntilListedOnline(device);
            }
        }
        return -1;
    }

    USB_LOG("wait 15 soconds, no find %s\n", device->m_serial.c_str());
    if (HandleAdbServerException(device) == 0) {
        m_context.track += "ADB_CHECK_ADBSERVER_EXCEPTION";
        m_context.track.Write(true);
        SendDeviceToUi(device, USB_WM_RESCAN_PHONE_BYADB);
    }
    return -1;
}

AdbDevice* ConnectionPipeline::FindAdbDevice(UsbDevice* device)
{
    if (!device)
        return nullptr;
    const std::string windowsSn = device->m_serial;
    for (int attempt = 0; attempt < kFindAttempts; ++attempt) {
        {
            LockGuard guard(m_context.deviceLock);
            if (device->m_stop) {
                device->m_stop = false;
                USB_LOG("this device had been pluged out\n");
                return nullptr;
            }
            RefreshAdbDevices();
            for (auto& kv : m_adbDevices) {
                AdbDevice* entry = kv.second.get();
                USB_LOG("system dev_sn is %s\n", windowsSn.c_str());
                USB_LOG("adb phone dev_sn is %s\n", entry->m_serial.c_str());
                if (windowsSn == ToLowerAscii(entry->m_serial) || windowsSn == ToUpperAscii(entry->m_serial)) {
                    device->m_serial = entry->m_serial;
                    return entry;
                }
            }
            if (m_adbDevices.size() == 1 && MayAdopt(*device, *m_adbDevices.begin()->second)) {
                AdbDevice* only = m_adbDevices.begin()->second.get();
                device->m_serial = only->m_serial;
                return only;
            }
        }
        PauseForListing(1000, m_adbDevices, windowsSn);
    }
    return nullptr;
}

void ConnectionPipeline::RefreshAdbDevices()
{
    m_adbDevices.clear();

    EnsureAdbServer();

    std::vector<char> buffer(kListingBufferSize, '\0');
    UsbAdb& adb = TheAdb();
    if (adb.IUSB_GetDevices)
        adb.IUSB_GetDevices(buffer.data(), kListingBufferSize);
    // A bridge that fills the whole buffer must not make us read past it.
    buffer[kListingBufferSize - 1] = '\0';
    const std::string text(buffer.data());
    USB_LOG("adbdevices: %s\n", text.c_str());

    for (const std::string& line : SplitString(text, "\n", "")) {
        if (line.empty())
            continue;
        const std::vector<std::string> fields = SplitString(line, "\t", "");
        if (fields.size() != 2)
            continue;
        // The first line of a serial stays; a repeated one is a conflict the host hears of.
        if (m_adbDevices.count(fields[0])) {
            USB_LOG("this device sn had already existed in the list\n");
            SendSerialToUi(USB_WM_PHONE_SN_CONFLICT, fields[0]);
            continue;
        }
        m_adbDevices.emplace(fields[0], std::make_unique<AdbDevice>(fields[0], fields[1]));
    }
}

void ConnectionPipeline::RetryDevice(const std::string& serial)
{
    USB_LOG("USB_RETRY........\n");
    UsbDevice* device = m_context.devices.FindBySn(serial);
    if (!device)
        return;
    PhoneInfos interfaces;
    // Only this record's own device: another phone of the model must not lend it its serial.
    if (FindAdbInterfaces(NarrowToWide(device->m_vidPid), interfaces, device->m_systemSn)) {
        device->m_isAdbOpen = true;
        for (const auto& info : interfaces)
            UpdateDeviceFromInterface(*device, *info);
    }
    m_context.track.Clear();
    m_context.track += "retry-->";
    CheckConnection(device);
}

void ConnectionPipeline::WaitUntilListedOnline(UsbDevice* device)
{
    if (m_watch.Watch(device->m_serial))
        USB_LOG("wait for the adbserver to list %s as device\n", device->m_serial.c_str());
}

void ConnectionPipeline::ResumeAdbConnection(const std::string& serial)
{
    // Only a re-run this library posted, for a phone still recorded.
    UsbDevice* device = m_watch.TakeReady(serial) ? m_context.devices.FindBySn(serial) : nullptr;
    if (!device)
        return;
    m_context.track.Clear();
    m_context.track.Start(device->m_vid, device->m_pid, device->m_serial, device->m_description);
    m_context.track += "checkadb-->";
    m_downloadDevice = device;
    CheckAdbStatus(device);
    m_downloadDevice = nullptr;
}

void ConnectionPipeline::ForgetPhone(const UsbDevice& device)
{
    m_watch.Cancel(device.m_serial);
}

void ConnectionPipeline::SetActionPoster(std::function<void(const std::string&)> post)
{
    m_watch.SetPoster(std::move(post));
}

void ConnectionPipeline::StopWatching()
{
    m_watch.Stop();
    UsbAdb& adb = TheAdb();
    if (adb.AdbStopDeviceTracking)
        adb.AdbStopDeviceTracking();
}

void ConnectionPipeline::RegisterAdbInterfaces(PhoneSystemInfo& phone, PhoneInfos& interfaces)
{
    for (const auto& info : interfaces) {
        if (!info)
            continue;
        const InstanceIdParts parts = ParseInstanceId(WideToNarrow(info->m_parentInstanceId), '#');
        if (info->m_description.find(L"Composite") != std::wstring::npos && !phone.m_description.empty())
            info->m_description = phone.m_description;
        if (AddDeviceFromInterface(m_context.devices, *info) != 0 && HeldByAnotherDevice(m_context.devices, parts)) {
            USB_LOG("notify ui sn conflict\n");
            Json::Value payload(Json::objectValue);
            payload["device_sn"] = parts.serial;
            payload["device_desc"] = WideToNarrow(info->m_description);
            m_context.ui.SendToUi(USB_WM_PHONE_SN_CONFLICT, WriteJson(payload));
        }
    }
}

void ConnectionPipeline::SendDeviceToUi(UsbDevice* device, int id)
{
    if (device)
        m_context.ui.SendToUi(id, DevicePayload(*device));
}

void ConnectionPipeline::SendSerialToUi(int id, const std::string& serial)
{
    m_context.ui.SendToUi(id, SerialPayload(serial));
}

}  // namespace USB
