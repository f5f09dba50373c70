#include "service/service.h"

#include <cstdlib>

#include "discovery/device_scan.h"
#include "identification/phone_scan.h"
#include "support/actions.h"
#include "support/json_utils.h"
#include "support/ports/ports.h"
#include "support/sys_utils.h"
#include "support/threads.h"
#include "support/usb_log.h"

namespace USB {

ListenerPort* g_listener = nullptr;

namespace {

// Which service's loop, of which start, runs on this thread.
struct LoopMark {
    const UsbService* service = nullptr;
    unsigned generation = 0;
};
thread_local LoopMark t_loop;

// Drops the "\\?\" prefix of a device path and upper-cases the rest.
std::string DevicePathBody(const std::string& path)
{
    return path.size() > 4 ? ToUpperAscii(path.substr(4)) : std::string();
}

}  // namespace

UsbService::UsbService()
{
    m_oneAtATime = m_config.OnePhoneAtATime();
    m_loopEnded = std::make_shared<UsbEvent>(false, false);
    m_loop.SetTurnHook(&TreeSnapshot::RefreshCurrent);
}

UsbService::~UsbService()
{
    m_pipeline.CancelAll();
    m_pool.Close();
    // A job still running would post to the loop and reach the pipeline that go with this object.
    if (!m_pool.WaitSettled(kStopWaitMs))
        USB_LOG("background work is still ending, the service goes without it\n");
    delete m_listener;
    m_listener = nullptr;
    g_listener = nullptr;
}

// ---- lifecycle -----------------------------------------------------------------------

void UsbService::Start()
{
    USB_LOG("usbhelper start...........\n");
    Ports& ports = GetPorts();
    // The relay of this start only (none when it does not load), in place before the threads
    // that write track records start. Only the copy beside the host is taken.
    LogRelay relay;
    if (void* module = LoadHostLibrary("LogRelay.dll")) {
        relay.dllInit = reinterpret_cast<void (*)(int)>(ports.library->Symbol(module, "dllInit"));
        relay.sendMsg = reinterpret_cast<void (*)(const char*)>(ports.library->Symbol(module, "sendMsg"));
        relay.dllExit = reinterpret_cast<void (*)()>(ports.library->Symbol(module, "dllExit"));
        if (relay.dllInit)
            relay.dllInit(0);
    }
    SetLogRelay(relay);
    ports.system->SocketsStartup();
    m_pipeline.Resume();
    m_pool.Open();
    m_pipeline.StartAdbServer();

    m_stop = false;
    const unsigned generation = ++m_loopGeneration;
    // A fresh end-of-loop event per start: a stopped loop may still hold the old one.
    m_loopEnded = std::make_shared<UsbEvent>(false, false);
    std::shared_ptr<UsbEvent> ended = m_loopEnded;
    if (!StartThread([this, ended, generation] {
            LogFailures("the message could not be handled", [&] { RunLoop(generation); });
            ended->Set();
        }))
        ended->Set();

    if (!g_listener)
        g_listener = ports.createListener();
    m_listener = g_listener;
    if (m_listener) {
        m_listener->Start();
        m_listener->SetSink(&UsbService::MessageSink, this);
        if (!m_listener->HasConsumer())
            m_listener->StartConsumer();
    }
}

void UsbService::StartInit()
{
    StartHelperJob([this] { Init(); });
}

void UsbService::Init()
{
    LockGuard guard(m_serviceLock);
    USB_LOG("loading whitelist......\n");
    ReloadWhiteList();
    USB_LOG("loading whitelist completed......\n");
    StartUpScans(
        m_decision, m_deviceList, m_notPhoneCache, [this](const std::string& text) { PostMessage(text); },
        [this] { StartHelperJob([this] { m_whitelistUpdater.WhitelistCheckThread(); }); });
}

void UsbService::Stop(std::chrono::steady_clock::time_point deadline)
{
    // Said before any wait: every job gives up at its next look, no new one starts, and no host
    // callback starts from here on.
    m_stop = true;
    m_pipeline.CancelAll();
    m_pool.Close();
    m_loop.Wake();
    CloseCallbacks(deadline);
    // The loop may be in a host callback waiting for the thread that stops us: the wait for it
    // shares the stop's bound.
    if (m_loopEnded && !OnLoopThread()) {
        if (m_loopEnded->Wait(MsUntil(deadline))) {
            m_loopEnded->Reset();
            USB_LOG("the usb service thread has exited\n");
        } else {
            USB_LOG("the usb service is still busy, the stop does not wait for it\n");
        }
    }
    m_loopEnded.reset();
    // Jobs that talk to the ADB server or the network end within the stop's bound; a job that
    // started the pushed list again is let go once more.
    if (!m_pool.WaitSettled(MsUntil(deadline)))
        USB_LOG("background work is still ending, the stop does not wait for it\n");
    m_pipeline.CancelAll();
    GetPorts().system->SocketsCleanup();
    ExitLogRelay(MsUntil(deadline));
    USB_LOG("the usb service thread has exited\n");
}

bool UsbService::OnLoopThread() const
{
    return t_loop.service == this;
}

bool UsbService::OnLeftBehindLoop() const
{
    return t_loop.service == this && t_loop.generation != m_loopGeneration;
}

void UsbService::RunLoop(unsigned generation)
{
    // A loop whose stop timed out (a host callback that did not return) finishes first.
    std::lock_guard<std::mutex> alive(m_loopAlive);
    // It also ends once a newer start has begun a loop of its own.
    auto stopped = [this, generation] { return m_stop || generation != m_loopGeneration; };
    if (stopped())
        return;
    const LoopMark outer = t_loop;
    t_loop = LoopMark{this, generation};
    const TreeSnapshot snapshot;
    m_loop.Run([this] { return TakeAction(); }, stopped);
    // Nothing of this run may come back in the next one.
    m_pipeline.EndAll();
    m_loop.Clear();
    t_loop = outer;
}

bool UsbService::RunUntilIdle()
{
    const TreeSnapshot snapshot;
    // A phone waiting for its user (and the pushed list followed for it) is no work in progress.
    return m_loop.RunUntilIdle([this] { return TakeAction(); }, [this] { return m_stop.load(); },
                               [this] {
                                   return QueuedMessages() == 0 && m_pipeline.BusyFlows() == 0 &&
                                          m_pipeline.JobsRunning() == 0 && !m_treeCheckRunning;
                               });
}

bool UsbService::TakeAction()
{
    // Phones one after another: the next message waits until no phone's check runs.
    if (m_oneAtATime && (m_pipeline.BusyFlows() > 0 || m_treeCheckRunning))
        return false;
    const std::string message = PopMessage();
    if (message.empty())
        return false;
    LogFailures("the message could not be handled", [&] { HandleMessage(message); });
    return true;
}

void UsbService::StartHelperJob(std::function<void()> work)
{
    m_pool.Run([work] { LogFailures("a helper thread failed", work); });
}

// ---- action messages -----------------------------------------------------------------

void UsbService::PostMessage(const std::string& text)
{
    {
        LockGuard guard(m_queueLock);
        m_messages.push_back(text);
    }
    m_loop.Wake();
}

size_t UsbService::QueuedMessages()
{
    LockGuard guard(m_queueLock);
    return m_messages.size();
}

void UsbService::MessageSink(const char* text, uint32_t, void* context)
{
    if (!context || !text)
        return;
    UsbService* self = static_cast<UsbService*>(context);
    const std::string copy(text);
    Json::Value root;
    if (ParseJson(copy, root)) {
        if (!HasMember(root, "action") || !root["action"].isString())
            return;
        if (ActionOf(root["action"].asString()) == Action::DeviceOffline) {
            const InstanceIdParts parts = ParseInstanceId(DevicePathBody(MemberText(root, "device_info")), '#');
            USB_LOG("stop all operation for the current device, %s\n", parts.serial.c_str());
            // Only the device named: a mouse leaving must not stop a phone's check.
            self->m_pipeline.CancelDevice(parts.key, parts.serial);
        }
    }
    self->PostMessage(copy);
}

std::string UsbService::PopMessage()
{
    LockGuard guard(m_queueLock);
    if (m_messages.empty())
        return std::string();
    std::string front = std::move(m_messages.front());
    m_messages.pop_front();
    return front;
}

void UsbService::RemoveMessages(Action action)
{
    LockGuard guard(m_queueLock);
    for (auto it = m_messages.begin(); it != m_messages.end();) {
        Json::Value root;
        if (!ParseJson(*it, root)) {
            ++it;
            continue;
        }
        if (!HasMember(root, "action") || !root["action"].isString())
            break;
        if (ActionOf(root["action"].asString()) == action)
            it = m_messages.erase(it);
        else
            ++it;
    }
}

bool UsbService::LeavingSoon(const std::string& key, const std::string& serial)
{
    LockGuard guard(m_queueLock);
    for (const std::string& text : m_messages) {
        Json::Value root;
        if (!ParseJson(text, root) || !HasMember(root, "action") || !root["action"].isString() ||
            ActionOf(root["action"].asString()) != Action::DeviceOffline)
            continue;
        const InstanceIdParts parts = ParseInstanceId(DevicePathBody(MemberText(root, "device_info")), '#');
        if (parts.key == key && parts.serial == serial)
            return true;
    }
    return false;
}

void UsbService::HandleMessage(const std::string& text)
{
    USB_LOG("%s\n", text.c_str());
    Json::Value root;
    if (!ParseJson(text, root) || !HasMember(root, "action") || !root["action"].isString())
        return;
    switch (ActionOf(root["action"].asString())) {
    case Action::DeviceOnline:
        HandleDeviceOnline(MemberText(root, "device_info"));
        break;
    case Action::DeviceOffline:
        HandleDeviceOffline(MemberText(root, "device_info"));
        break;
    case Action::UsbRetry: {
        int command = 0;
        if (HasMember(root, "command")) {
            const Json::Value& c = root["command"];
            if (c.isInt())
                command = c.asInt();
            else if (c.isString())
                command = std::atoi(c.asCString());
        }
        const std::string serial = MemberText(root, "device_sn");
        m_pipeline.Answer(serial, [this, text, serial, command] { HandleUsbRetry(text, serial, command); });
        break;
    }
    case Action::DevnodesChanged:
        HandleDevnodesChanged();
        break;
    case Action::KillAdbServer: {
        const std::string serial = MemberText(root, "device_sn");
        m_pipeline.Answer(serial, [this, serial] { m_pipeline.KillAdbServerCommand(serial); });
        break;
    }
    case Action::Unknown:
        break;
    }
}

void UsbService::HandleDeviceOnline(const std::string& deviceInfo)
{
    const std::string id = DevicePathBody(deviceInfo);
    const InstanceIdParts parts = ParseInstanceId(id, '#');
    // A device that left while its arrival waited in the queue gets no flow.
    if (!m_deviceList.FindByDevice(parts.key, parts.serial) && !m_pipeline.HasFlow(parts.key, parts.serial) &&
        LeavingSoon(parts.key, parts.serial)) {
        USB_LOG("the device %s left before its arrival was taken up\n", parts.serial.c_str());
        return;
    }
    m_pipeline.Arrive(id);
}

void UsbService::HandleDeviceOffline(const std::string& deviceInfo)
{
    USB_LOG("had a device remove\n");
    const InstanceIdParts parts = ParseInstanceId(DevicePathBody(deviceInfo), '#');
    USB_LOG("find a new device offline, %s\n", parts.serial.c_str());
    const std::string announced = m_pipeline.Depart(parts.key, parts.serial);
    if (DeviceRecord* device = m_deviceList.FindByDevice(parts.key, parts.serial)) {
        USB_LOG("usb cable broken, notify ui WM_CHECK_PHONE_EXTRACT\n");
        SendToUi(USB_WM_DEVICE_OFFLINE, DevicePayload(*device));
        m_deviceList.Remove(device);
    } else if (!announced.empty()) {
        USB_LOG("usb cable broken, notify ui WM_CHECK_PHONE_EXTRACT\n");
        SendToUi(USB_WM_DEVICE_OFFLINE, announced);
    }
    RemoveMessages(Action::DevnodesChanged);
}

void UsbService::HandleUsbRetry(const std::string& text, const std::string& serial, int command)
{
    USB_LOG("USB_RETRY........\n");
    USB_LOG("_msg is %s\n", text.c_str());
    USB_LOG("adbcmd %d, cmd %d\n", static_cast<int>(USB_WM_ADB_OPEN), command);
    if (command != USB_WM_ADB_OPEN) {
        m_pipeline.RetryDevice(serial);
        return;
    }
    USB_LOG("the adb debug maybe do not open\n");
    DeviceRecord* device = m_deviceList.FindBySn(serial);
    if (!device)
        return;
    if (device->m_adbOpenRetry == 0) {
        device->m_adbOpenRetry = 1;
        m_pipeline.RetryDevice(serial);
    } else if (device->m_adbOpenRetry == 1) {
        device->m_adbOpenRetry = 0;
        m_pipeline.RerunFromDriver(*device);
    }
}

void UsbService::HandleDevnodesChanged()
{
    if (m_treeCheckRunning) {
        m_treeCheckAgain = true;
        return;
    }
    // What the records are now, for the removal walk; the job must not touch the records.
    struct Recorded {
        std::string key;
        std::string serial;
    };
    auto recorded = std::make_shared<std::vector<Recorded>>();
    for (const auto& kv : m_deviceList.Snapshot())
        recorded->push_back({kv.second->m_vidPid, kv.second->m_systemSn});
    m_treeCheckRunning = m_loop.RunJob([this, recorded] {
        std::shared_ptr<Recorded> gone;
        const DeviceChange change = ClassifyDeviceChange(m_decision, m_deviceList, false);
        if (change == DeviceChange::NewPhone) {
            USB_LOG("has a device arrive------------------\n");
            USB::ScanPresentPhones(m_decision, m_deviceList, false,
                                   [this](const std::string& text) { PostMessage(text); });
        } else if (change == DeviceChange::NoPhone && !recorded->empty()) {
            USB_LOG("has a device remove---------------------\n");
            for (const Recorded& r : *recorded) {
                if (!IsPhonePresent(m_decision, r.key, r.serial)) {
                    gone = std::make_shared<Recorded>(r);
                    break;
                }
            }
        }
        m_loop.Post([this, gone] {
            m_treeCheckRunning = false;
            // One removal per change, as the walk found it; the record may have gone meanwhile.
            DeviceRecord* device = gone ? m_deviceList.FindByDevice(gone->key, gone->serial) : nullptr;
            if (device) {
                USB_LOG("usb cable broken, notify ui WM_CHECK_PHONE_EXTRACT\n");
                m_pipeline.Depart(device->m_vidPid, device->m_systemSn);
                SendToUi(USB_WM_DEVICE_OFFLINE, DevicePayload(*device));
                m_deviceList.Remove(device);
            }
            if (m_treeCheckAgain) {
                m_treeCheckAgain = false;
                HandleDevnodesChanged();
            }
        });
    });
}

void UsbService::StartAdbServer()
{
    m_pipeline.StartAdbServer();
}

// ---- phone questions of the exports ------------------------------------------------

void UsbService::ReloadWhiteList()
{
    m_whiteList.LoadBuiltInVendors();
    m_whiteList.LoadWhiteListFromFile();
}

bool UsbService::IsPhone(const std::string& upperCasedId)
{
    m_notPhoneCache.Clear();
    ReloadWhiteList();
    return m_decision.IsPhoneFull(upperCasedId);
}

bool UsbService::HasPhone()
{
    m_notPhoneCache.Clear();
    ReloadWhiteList();
    return HasPhoneDecision(m_decision, m_deviceList, m_whitelistUpdater, m_notPhoneCache);
}

bool UsbService::BuildPhoneList(std::string& out)
{
    m_whiteList.EnsureLoaded();
    return USB::BuildPhoneList(m_decision, out);
}

}  // namespace USB
