// A device arrives: the phone decision (a job: it may ask the cloud and wait for Windows' own
// driver install), the host told of a phone, its records made from its ADB interfaces or from
// what the decision knows, then the connection steps.
#include "discovery/device_scan.h"
#include "pipeline/pipeline.h"
#include "support/json_utils.h"
#include "support/sys_utils.h"

namespace USB {

namespace {

enum class Branch { NotPhone, Exact, Neighbour, BySystem };

// Whether another device's record holds this device's serial; a phone's own second ADB
// interface finds its own record, which is no conflict.
bool HeldByAnotherDevice(UsbDeviceList& list, const InstanceIdParts& device)
{
    DeviceRecord* holder = list.FindBySn(device.serial);
    return holder &&
           !(holder->m_vidPid == device.key && ToUpperAscii(holder->m_systemSn) == ToUpperAscii(device.serial));
}

}  // namespace

void ConnectionPipeline::Arrive(const std::string& id)
{
    const InstanceIdParts parts = ParseInstanceId(id, '#');
    // Per device: a second phone of a model already handled gets a flow of its own.
    if (m_context.devices.FindByDevice(parts.key, parts.serial) || FlowOf(parts.key, parts.serial))
        return;
    PhoneFlow& flow = NewFlow(parts.key, parts.serial);
    flow.stage = PhoneFlow::Stage::Deciding;
    PhoneDecision& decision = m_context.decision;
    RunJob(flow, [this, id, parts, &decision]() -> std::function<void(PhoneFlow&)> {
        auto info = std::make_shared<PhoneSystemInfo>();
        auto interfaces = std::make_shared<PhoneInfos>();
        Branch branch = Branch::NotPhone;
        if (decision.CheckExactFull(*info, id)) {
            branch = Branch::Exact;
        } else if (decision.CheckNeighbourPids(*info, id, false)) {
            branch = Branch::Neighbour;
        } else {
            WaitForWindowsDriverInstall(parts.key, parts.serial);
            if (decision.CheckBySystem(id, *interfaces, 1))
                branch = Branch::BySystem;
        }
        return [this, parts, info, interfaces, branch](PhoneFlow& flow) {
            if (branch == Branch::NotPhone) {
                USB_LOG("this device is not phone\n");
                if (m_context.treeChangesCovered)
                    m_context.treeChangesCovered();
                EndFlow(flow);
                return;
            }
            flow.info = *info;
            Announce(flow, parts);
            if (branch == Branch::Neighbour) {
                AddFromInfo(flow, parts);
            } else if (branch == Branch::BySystem) {
                RegisterAdbInterfaces(flow.info, *interfaces);
            } else {
                flow.stage = PhoneFlow::Stage::Probing;
                RunJob(flow, [this, parts, info]() -> std::function<void(PhoneFlow&)> {
                    WaitForWindowsDriverInstall(parts.key, parts.serial);
                    auto found = std::make_shared<PhoneInfos>();
                    const bool any = FindAdbInterfacesWithRetry(parts.key, *found, 3, *info, parts.serial);
                    return [this, parts, found, any](PhoneFlow& flow) {
                        flow.info.m_isAdbOpen = any;
                        if (any)
                            RegisterAdbInterfaces(flow.info, *found);
                        else
                            AddFromInfo(flow, parts);
                        ConnectRecorded(flow);
                    };
                });
                return;
            }
            ConnectRecorded(flow);
        };
    });
}

void ConnectionPipeline::Announce(PhoneFlow& flow, const InstanceIdParts& parts)
{
    m_context.ui.SendToUi(USB_WM_TRY_CONNECT_PHONE, SerialPayload(parts.serial));
    USB_LOG("step:0->notify ui to try connect the phone...\n");
    USB_LOG("step:1->notify ui checking adbmode of the phone\n");
    flow.track.Start(parts.vid, parts.pid, parts.serial, flow.info.m_description);
    flow.track += "checkadbdebug-->";
    m_context.ui.SendToUi(USB_WM_CHECKING_ADBMODE, SerialPayload(parts.serial));
    flow.announced = true;
}

void ConnectionPipeline::AddFromInfo(PhoneFlow& flow, const InstanceIdParts& parts)
{
    if (!CreateDeviceNode(m_context.devices, flow.info, parts.vid, parts.pid))
        USB_LOG("create devnode fail\n");
}

void ConnectionPipeline::ConnectRecorded(PhoneFlow& flow)
{
    if (m_context.treeChangesCovered)
        m_context.treeChangesCovered();
    if (DeviceRecord* device = LiveRecord(flow))
        CheckConnection(flow, *device);
}

void ConnectionPipeline::RegisterAdbInterfaces(PhoneSystemInfo& phone, PhoneInfos& interfaces)
{
    for (PhoneSystemInfo& info : interfaces) {
        const InstanceIdParts parts = ParseInstanceId(info.m_parentInstanceId, '#');
        if (info.m_description.find("Composite") != std::string::npos && !phone.m_description.empty())
            info.m_description = phone.m_description;
        if (!AddDeviceFromInterface(m_context.devices, info) && HeldByAnotherDevice(m_context.devices, parts)) {
            USB_LOG("notify ui sn conflict\n");
            Json::Value payload(Json::objectValue);
            payload["device_sn"] = parts.serial;
            payload["device_desc"] = info.m_description;
            m_context.ui.SendToUi(USB_WM_PHONE_SN_CONFLICT, WriteJson(payload));
        }
    }
}

}  // namespace USB
