// Step 1 (ADB debugging on), step 3 (the ADB server lists the phone) and the phone's status, as
// steps of its flow: each listing attempt takes the next shared listing, each pause is a timer
// that a change of the server's pushed list ends early.
#include "discovery/device_scan.h"
#include "pipeline/adb_server.h"
#include "pipeline/pipeline.h"
#include "support/json_utils.h"
#include "support/sys_utils.h"

namespace USB {

namespace {

// "emulator-N": an Android developer's emulator, never a USB phone.
bool IsEmulatorSerial(const std::string& serial)
{
    static const std::string kPrefix = "emulator-";
    return serial.size() > kPrefix.size() && serial.compare(0, kPrefix.size(), kPrefix) == 0 &&
           serial.find_first_not_of("0123456789", kPrefix.size()) == std::string::npos;
}

}  // namespace

bool ConnectionPipeline::MayAdopt(const PhoneFlow& flow, const DeviceRecord& device, const AdbDevice& entry)
{
    if (IsEmulatorSerial(entry.m_serial)) {
        USB_LOG("adb phone dev_sn %s is an emulator\n", entry.m_serial.c_str());
        return false;
    }
    // The only listed serial stands for this phone unless another plugged device has it, another
    // phone's record took it, or another phone in progress could turn out to be it (its serial is
    // that one, or one Windows made up).
    bool other = IsSerialOfAnotherDevice(entry.m_serial, device.m_vidPid, device.m_systemSn);
    const std::string wanted = ToUpperAscii(entry.m_serial);
    for (const auto& kv : m_flows) {
        const PhoneFlow& another = *kv.second;
        if (other || another.id == flow.id)
            continue;
        const DeviceRecord* record = m_context.devices.FindByDevice(another.key, another.windowsSerial);
        const std::string serial = record ? record->m_serial : another.windowsSerial;
        other = serial.find('&') != std::string::npos || ToUpperAscii(serial) == wanted;
    }
    if (!other) {
        const DeviceRecord* holder = m_context.devices.FindBySn(entry.m_serial);
        other = holder && holder != &device;
    }
    if (!other)
        return true;
    USB_LOG("adb phone dev_sn %s belongs to another device\n", entry.m_serial.c_str());
    return false;
}

void ConnectionPipeline::CheckConnection(PhoneFlow& flow, DeviceRecord& device)
{
    if (!device.m_isAdbOpen) {
        USB_LOG("notify ui the adb debug do not open\n");
        flow.track += "dmfail-->";
        flow.track.Write(true);
        SendDeviceToUi(device, USB_WM_ADB_OPEN);
        EndFlow(flow);
        return;
    }
    flow.track += "dmok-->";
    USB_LOG("this device's adbdebug ok\n");
    flow.track += "checkdriver-->";
    CheckDriver(flow, device);
}

void ConnectionPipeline::DriverPassed(PhoneFlow& flow, DeviceRecord& device)
{
    USB_LOG("this device's driver ok\n");
    flow.track += "driverok-->";
    flow.track += "checkadb-->";
    CheckAdbConnection(flow, device);
}

void ConnectionPipeline::CheckAdbConnection(PhoneFlow& flow, DeviceRecord& device)
{
    SendDeviceToUi(device, USB_WM_CHECKING_ADB_CONNECTING);
    USB_LOG("step:3->notify ui to check the adb CONNECTING...\n");
    CheckAdbStatus(flow, device);
}

void ConnectionPipeline::CheckAdbStatus(PhoneFlow& flow, DeviceRecord& device)
{
    flow.attempt = 0;
    flow.statusAttempt = 0;
    if (device.m_serial.find('&') != std::string::npos) {
        // Windows made up an instance id: the phone reports no serial of its own.
        USB_LOG("this system sn has error\n");
        flow.stage = PhoneFlow::Stage::SerialFix;
        WantListing(flow);
        return;
    }
    FindAdbDevice(flow);
}

void ConnectionPipeline::OnListingForSerialFix(PhoneFlow& flow, const Listing& listing)
{
    DeviceRecord* device = LiveRecord(flow);
    if (!device)
        return;
    if (listing.entries.size() == 1 && MayAdopt(flow, *device, listing.entries.begin()->second)) {
        USB_LOG("the system is not the same serial number as the adbserver, we need to change it according to the "
                "adbserver\n");
        const AdbDevice& entry = listing.entries.begin()->second;
        device->m_systemSn = device->m_serial;
        device->m_serial = entry.m_serial;
        ReportStatus(flow, *device, entry);
        return;
    }
    ++flow.attempt;
    PauseForListing(flow, listing, std::string());
}

void ConnectionPipeline::FindAdbDevice(PhoneFlow& flow)
{
    DeviceRecord* device = LiveRecord(flow);
    if (!device)
        return;
    flow.stage = PhoneFlow::Stage::Finding;
    flow.attempt = 0;
    flow.findSerial = device->m_serial;
    WantListing(flow);
}

void ConnectionPipeline::OnListingForFind(PhoneFlow& flow, const Listing& listing)
{
    DeviceRecord* device = LiveRecord(flow);
    if (!device)
        return;
    const std::string& windowsSn = flow.findSerial;
    for (const auto& kv : listing.entries) {
        const AdbDevice& entry = kv.second;
        USB_LOG("system dev_sn is %s\n", windowsSn.c_str());
        USB_LOG("adb phone dev_sn is %s\n", entry.m_serial.c_str());
        if (ListedAs(windowsSn, entry.m_serial)) {
            device->m_serial = entry.m_serial;
            OnFound(flow, *device, entry);
            return;
        }
    }
    if (listing.entries.size() == 1 && MayAdopt(flow, *device, listing.entries.begin()->second)) {
        const AdbDevice& only = listing.entries.begin()->second;
        device->m_serial = only.m_serial;
        OnFound(flow, *device, only);
        return;
    }
    ++flow.attempt;
    PauseForListing(flow, listing, windowsSn);
}

void ConnectionPipeline::AfterListingPause(PhoneFlow& flow, const Listing* pushed)
{
    const int attempts = flow.stage == PhoneFlow::Stage::SerialFix ? kSerialFixAttempts : kFindAttempts;
    if (flow.attempt >= attempts) {
        if (DeviceRecord* device = LiveRecord(flow))
            ReportNotFound(flow, *device);
    } else if (!pushed) {
        WantListing(flow);
    } else if (flow.stage == PhoneFlow::Stage::SerialFix) {
        OnListingForSerialFix(flow, *pushed);
    } else {
        OnListingForFind(flow, *pushed);
    }
}

void ConnectionPipeline::OnFound(PhoneFlow& flow, DeviceRecord& device, const AdbDevice& entry)
{
    // The status is looked at up to kStatusAttempts times: an offline phone after a short pause,
    // any state but "device" with a fresh listing.
    const bool last = ++flow.statusAttempt >= kStatusAttempts;
    if (entry.m_state == "device") {
        ReportStatus(flow, device, entry);
        return;
    }
    if (entry.m_state == "offline") {
        USB_LOG("the device status is offline, recheck...\n");
        flow.stage = PhoneFlow::Stage::StatusPause;
        flow.lastEntry = entry;
        After(flow, kOfflinePauseMs, [this, last](PhoneFlow& f) {
            DeviceRecord* again = LiveRecord(f);
            if (!again)
                return;
            if (last)
                ReportStatus(f, *again, f.lastEntry);
            else
                FindAdbDevice(f);
        });
        return;
    }
    if (last)
        ReportStatus(flow, device, entry);
    else
        FindAdbDevice(flow);
}

void ConnectionPipeline::ReportStatus(PhoneFlow& flow, DeviceRecord& device, const AdbDevice& entry)
{
    SendDeviceToUi(device, USB_WM_CHECKING_ADB_DEVICE_STATUS);
    if (entry.m_state == "device") {
        USB_LOG("step:4->check if the apk was installed?\n");
        SendDeviceToUi(device, USB_WM_DEVICE_ONLINE);
        EndFlow(flow);
    } else if (entry.m_state == "offline") {
        USB_LOG("notify ui this device is offline, need to restart the adbd of the phone\n");
        SendDeviceToUi(device, USB_WM_PHONE_ADBDEBUG_EXCEPTION);
        flow.track += "ADB_CHECK_DEVICE_OFFLINE";
        flow.track.Write(false);
        WaitUntilListedOnline(flow, device);
    } else {
        USB_LOG("unkown status..\n");
        if (entry.m_state == "unauthorized") {
            SendDeviceToUi(device, USB_WM_DEVICE_UNAUTHORIZED);
            WaitUntilListedOnline(flow, device);
        } else {
            EndFlow(flow);
        }
    }
}

void ConnectionPipeline::ReportNotFound(PhoneFlow& flow, DeviceRecord& device)
{
    USB_LOG("wait 15 soconds, no find %s\n", device.m_serial.c_str());
    if (HandleAdbServerException(device) == OwnerCheck::AskRescan) {
        flow.track += "ADB_CHECK_ADBSERVER_EXCEPTION";
        flow.track.Write(true);
        SendDeviceToUi(device, USB_WM_RESCAN_PHONE_BYADB);
    }
    EndFlow(flow);
}

void ConnectionPipeline::WaitUntilListedOnline(PhoneFlow& flow, DeviceRecord& device)
{
    if (!m_listing.CanTrack()) {
        EndFlow(flow);
        return;
    }
    USB_LOG("wait for the adbserver to list %s as device\n", device.m_serial.c_str());
    flow.stage = PhoneFlow::Stage::WaitingOnline;
    // Answers kept while the check ran are not held back by a wait for the user.
    std::deque<std::function<void()>> held = std::move(flow.heldAnswers);
    flow.heldAnswers.clear();
    Watch();
    for (auto& run : held)
        run();
}

void ConnectionPipeline::ResumeAdbConnection(PhoneFlow& flow)
{
    DeviceRecord* device = LiveRecord(flow);
    if (!device)
        return;
    flow.track.Clear();
    flow.track.Start(device->m_vid, device->m_pid, device->m_serial, device->m_description);
    flow.track += "checkadb-->";
    CheckAdbStatus(flow, *device);
}

void ConnectionPipeline::RetryDevice(const std::string& serial)
{
    USB_LOG("USB_RETRY........\n");
    DeviceRecord* device = m_context.devices.FindBySn(serial);
    if (!device)
        return;
    if (PhoneFlow* old = FlowOf(device->m_vidPid, device->m_systemSn))
        DropFlow(*old);
    PhoneInfos interfaces;
    // Only this record's own device: another phone of the model must not lend it its serial.
    if (FindAdbInterfaces(device->m_vidPid, interfaces, device->m_systemSn)) {
        device->m_isAdbOpen = true;
        for (const PhoneSystemInfo& info : interfaces)
            UpdateDeviceFromInterface(*device, info);
    }
    PhoneFlow& flow = NewFlow(device->m_vidPid, device->m_systemSn);
    flow.track.Clear();
    flow.track += "retry-->";
    CheckConnection(flow, *device);
}

void ConnectionPipeline::RerunFromDriver(DeviceRecord& device)
{
    if (PhoneFlow* old = FlowOf(device.m_vidPid, device.m_systemSn))
        DropFlow(*old);
    PhoneFlow& flow = NewFlow(device.m_vidPid, device.m_systemSn);
    flow.track.Start(device.m_vid, device.m_pid, device.m_serial, device.m_description);
    flow.track += "retry-->";
    m_context.ui.SendToUi(USB_WM_TRY_CONNECT_PHONE, SerialPayload(device.m_serial));
    USB_LOG("step:0->notify ui to retry connect the phone...\n");
    flow.track += "checkdriver-->";
    CheckDriver(flow, device);
}

}  // namespace USB
