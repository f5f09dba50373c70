#include "pipeline/adb_server.h"

#include "discovery/device_scan.h"
#include "pipeline/pipeline.h"
#include "support/json_utils.h"
#include "support/ports/ports.h"
#include "support/sys_utils.h"
#include "support/usb_log.h"

namespace USB {

namespace {

std::string OwnerPayload(const DeviceRecord& device, const std::string& killName)
{
    Json::Value payload(Json::objectValue);
    payload["device_sn"] = device.m_serial;
    payload["device_desc"] = device.m_description;
    payload["kill-name"] = killName;
    return WriteJson(payload);
}

}  // namespace

OwnerCheck ReportAdbServerOwner(UiSink& ui, bool borrowed, const DeviceRecord& device)
{
    USB_LOG("this device still exist in the windows system\n");
    USB_LOG("but we can not find this device in the adbserver\n");
    const uint32_t pid = FindAdbServerPid();
    const std::string name = GetProcessName(pid);
    USB_LOG("current adbserver pid is %d\n", static_cast<int>(pid));
    USB_LOG("current adbserver name is %s\n", name.c_str());
    if (pid != 0 && name.empty()) {
        USB_LOG("notify ui restart os\n");
        ui.SendToUi(USB_WM_RESTART_OS, OwnerPayload(device, "os"));
        return OwnerCheck::HostTold;
    }
    if (!borrowed) {
        USB_LOG("notify ui restart %s\n", name.c_str());
        ui.SendToUi(USB_WM_RESTART_ADBSERVER, OwnerPayload(device, name));
        return OwnerCheck::HostTold;
    }
    USB_LOG("notify ui kill this adbserver %s\n", name.c_str());
    if (name.find(kHelperName) != std::string::npos) {
        KillAdbServerProcess(pid, name);
        GetPorts().process->ShellOpenHidden(GetExeDirectory() + kHelperFile);
        return OwnerCheck::AskRescan;
    }
    ui.SendToUi(USB_WM_KILL_THIRDPARTY_ADBSERVER, OwnerPayload(device, name));
    return OwnerCheck::HostTold;
}

OwnerCheck ConnectionPipeline::HandleAdbServerException(const DeviceRecord& device)
{
    if (!HasAdbDriverInterface(device.m_vidPid, device.m_systemSn)) {
        USB_LOG("phone is not exist\n");
        return OwnerCheck::AskRescan;
    }
    return ReportAdbServerOwner(m_context.ui, m_listing.Borrowed(), device);
}

void ConnectionPipeline::KillAdbServerCommand(const std::string& serial)
{
    USB_LOG("KILL-ADBSERVER........\n");
    const uint32_t pid = FindAdbServerPid();
    const std::string name = GetProcessName(pid);
    USB_LOG("current adbserver pid is %d\n", static_cast<int>(pid));
    USB_LOG("current adbserver name is %s\n", name.c_str());
    if (!name.empty() && pid != kNoListener)
        KillAdbServerProcess(pid, name);
    RetryDevice(serial);
}

}  // namespace USB
