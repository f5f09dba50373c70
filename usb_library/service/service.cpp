#include "service/service.h"

#include <cstdlib>
#include <thread>

#include "discovery/device_scan.h"
#include "identification/phone_scan.h"
#include "support/json_utils.h"
#include "support/ports/ports.h"
#include "support/sys_utils.h"
#include "support/usb_log.h"

namespace USB {

ListenerPort* g_listener = nullptr;

namespace {

// The stop's whole wait: for callbacks in progress, the dispatch, the loop's end and the relay.
constexpr int kStopWaitMs = 1000;

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

template <typename Fn>
void StartDetached(Fn fn)
{
    try {
        std::thread(fn).detach();
    } catch (const std::exception&) {
        USB_LOG("thread start fail\n");
    }
}

}  // namespace

UsbService::UsbService()
{
    m_cloud.m_baseUrl = m_config.DriverHost();
    m_loopEnded = std::make_shared<UsbEvent>(false, false);
    m_pipeline.SetActionPoster([this](const std::string& text) { PostMessage(text); });
}

UsbService::~UsbService()
{
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
    m_pipeline.StartAdbServer();

    // Read by the loop's cloud queries; a loop an earlier stop left behind may still read it.
    if (m_cloud.m_baseUrl != m_config.DriverHost())
        m_cloud.m_baseUrl = m_config.DriverHost();

    m_stop = false;
    const unsigned generation = ++m_loopGeneration;
    // A fresh end-of-loop event per start: a stopped loop may still hold the old one.
    m_loopEnded = std::make_shared<UsbEvent>(false, false);
    std::shared_ptr<UsbEvent> ended = m_loopEnded;
    StartDetached([this, ended, generation] {
        try {
            RunLoop(generation);
        } catch (...) {
            USB_LOG("the usb service thread failed\n");
        }
        ended->Set();
    });

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

void UsbService::Init()
{
    LockGuard guard(m_serviceLock);
    USB_LOG("loading whitelist......\n");
    m_whiteList.LoadBuiltInVendors();
    m_whiteList.LoadWhiteListFromFile();
    USB_LOG("loading whitelist completed......\n");
    const bool found = ScanPresentPhones(true);
    StartHelperThread([this] { m_whitelistUpdater.WhitelistCheckThread(); });
    if (!found) {
        m_notPhoneCache.Clear();
        ScanPresentPhones(false);
    }
}

int UsbService::Stop()
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStopWaitMs);
    // Said before any wait: a dispatch in a long wait gives up at its next pause, and no host
    // callback starts from here on.
    m_stop = true;
    m_queueSignal.Set();
    m_pipeline.StopWatching();
    CloseCallbacks(deadline);
    // The dispatch in progress may be a host callback waiting for the thread that stops us: the
    // wait for it shares the stop's bound.
    const TimedLockGuard guard(m_serviceLock, MsUntil(deadline));
    if (!guard.Locked())
        USB_LOG("the usb service is still busy, the stop does not wait for it\n");
    if (m_loopEnded && !OnLoopThread() && m_loopEnded->Wait(MsUntil(deadline))) {
        m_loopEnded->Reset();
        USB_LOG("the usb service thread has exited\n");
    }
    m_loopEnded.reset();
    GetPorts().system->SocketsCleanup();
    ExitLogRelay(MsUntil(deadline));
    USB_LOG("the usb service thread has exited\n");
    return 0;
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
    const LoopMark outer = t_loop;
    t_loop = LoopMark{this, generation};
    // A loop whose stop timed out must not come back to life when a restart clears m_stop:
    // it also ends once a newer start has begun a loop of its own.
    auto stopped = [&] { return m_stop || generation != m_loopGeneration; };
    // The pipeline's pauses give up as soon as this loop is stopped.
    WorkScope scope(
        [](void* context) {
            const LoopMark* mark = static_cast<LoopMark*>(context);
            return !mark->service->m_stop && mark->generation == mark->service->m_loopGeneration;
        },
        &t_loop);
    while (!stopped()) {
        try {
            // Every push signals the event, so an idle loop sleeps until there is work; a push
            // after the emptiness test leaves the event set and the wait returns at once.
            if (QueuedMessages() == 0) {
                m_queueSignal.Wait();
                continue;
            }
            const std::string message = PopMessage();
            if (message.empty())
                continue;
            LockGuard guard(m_serviceLock);
            if (stopped()) {
                // A stop that came while this message waited for the service lock: it stays queued.
                LockGuard queueGuard(m_queueLock);
                m_messages.push_front(message);
                break;
            }
            HandleMessage(message);
        } catch (const WorkAbandoned&) {
            m_pipeline.ForgetDownloadDevice();
            USB_LOG("the usb service stopped, the message in progress is left\n");
        } catch (const std::exception& e) {
            m_pipeline.ForgetDownloadDevice();
            USB_LOG("the message could not be handled: %s\n", e.what());
        } catch (...) {
            m_pipeline.ForgetDownloadDevice();
            USB_LOG("the message could not be handled\n");
        }
    }
    // A wakeup this loop took may have been meant for the loop of a newer start.
    m_queueSignal.Set();
    t_loop = outer;
}

void UsbService::StartHelperThread(std::function<void()> work)
{
    ++m_helperThreads;
    try {
        std::thread([this, work] {
            try {
                work();
            } catch (const std::exception& e) {
                USB_LOG("a helper thread failed: %s\n", e.what());
            } catch (...) {
                USB_LOG("a helper thread failed\n");
            }
            --m_helperThreads;
        }).detach();
    } catch (const std::exception&) {
        --m_helperThreads;
        USB_LOG("thread start fail\n");
    }
}

// ---- action messages -----------------------------------------------------------------

void UsbService::PostMessage(const std::string& text)
{
    {
        LockGuard guard(m_queueLock);
        m_messages.push_back(text);
    }
    m_queueSignal.Set();
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
    LockGuard guard(self->m_deviceLock);
    const std::string copy(text);
    Json::Value root;
    if (ParseJson(copy, root)) {
        if (!HasMember(root, "action") || !root["action"].isString())
            return;
        if (root["action"].asString() == "DEVICE_OFFLINE") {
            const InstanceIdParts parts = ParseInstanceId(DevicePathBody(MemberText(root, "device_info")), '#');
            USB_LOG("stop all operation for the current device, %s\n", parts.serial.c_str());
            // Only the device named: a mouse leaving must not stop a phone's check.
            self->m_deviceList.MarkStop(parts.key, parts.serial);
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

void UsbService::RemoveMessages(const std::string& action)
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
        if (root["action"].asString() == action)
            it = m_messages.erase(it);
        else
            ++it;
    }
}

void UsbService::HandleMessage(const std::string& text)
{
    LockGuard guard(m_serviceLock);
    USB_LOG("%s\n", text.c_str());
    Json::Value root;
    if (!ParseJson(text, root) || !HasMember(root, "action") || !root["action"].isString())
        return;
    const std::string action = root["action"].asString();
    if (action == "DEVICE_ONLINE") {
        HandleDeviceOnline(MemberText(root, "device_info"));
    } else if (action == "DEVICE_OFFLINE") {
        HandleDeviceOffline(MemberText(root, "device_info"));
    } else if (action == "USB_RETRY") {
        int command = 0;
        if (HasMember(root, "command")) {
            const Json::Value& c = root["command"];
            if (c.isInt())
                command = c.asInt();
            else if (c.isString())
                command = std::atoi(c.asCString());
        }
        HandleUsbRetry(text, MemberText(root, "device_sn"), command);
    } else if (action == "DEVNODES_CHANGED") {
        HandleDevnodesChanged();
    } else if (action == "KILL-ADBSERVER") {
        m_pipeline.KillAdbServerCommand(MemberText(root, "device_sn"));
    } else if (action == "ADB_DEVICE_READY") {
        m_pipeline.ResumeAdbConnection(MemberText(root, "device_sn"));
    }
}

bool UsbService::ScanPresentPhones(bool shortDecision)
{
    return USB::ScanPresentPhones(m_decision, m_deviceList, shortDecision,
                                  [this](const std::string& text) { PostMessage(text); });
}

void UsbService::HandleDeviceOnline(const std::string& deviceInfo)
{
    const std::string id = DevicePathBody(deviceInfo);
    const InstanceIdParts parts = ParseInstanceId(id, '#');
    // Per device: a second phone of a model already handled gets a flow of its own.
    if (m_deviceList.FindByDevice(parts.key, parts.serial))
        return;

    m_track.Clear();
    PhoneSystemInfo info;
    PhoneInfos interfaces;
    bool accepted = false;

    auto announce = [&] {
        SendToUi(USB_WM_TRY_CONNECT_PHONE, SerialPayload(parts.serial));
        USB_LOG("step:0->notify ui to try connect the phone...\n");
        USB_LOG("step:1->notify ui checking adbmode of the phone\n");
        m_track.Start(parts.vid, parts.pid, parts.serial, WideToNarrow(info.m_description));
        m_track += "checkadbdebug-->";
        SendToUi(USB_WM_CHECKING_ADBMODE, SerialPayload(parts.serial));
    };
    auto addFromInfo = [&] {
        if (CreateDeviceNode(m_deviceList, info, parts.vid, parts.pid) != 0)
            USB_LOG("create devnode fail\n");
    };

    if (m_decision.CheckExactFull(info, id)) {
        accepted = true;
        announce();
        WaitForWindowsDriverInstall(parts.key, parts.serial);
        if (FindAdbInterfacesWithRetry(NarrowToWide(parts.key), interfaces, 3, info, parts.serial))
            m_pipeline.RegisterAdbInterfaces(info, interfaces);
        else
            addFromInfo();
    } else if (m_decision.CheckNeighbourPids(info, id, false)) {
        accepted = true;
        announce();
        addFromInfo();
    } else {
        WaitForWindowsDriverInstall(parts.key, parts.serial);
        if (m_decision.CheckBySystem(id, interfaces, 1)) {
            accepted = true;
            announce();
            m_pipeline.RegisterAdbInterfaces(info, interfaces);
        }
    }
    interfaces.clear();

    if (!accepted) {
        USB_LOG("this device is not phone\n");
    } else if (UsbDevice* device = m_deviceList.FindByDevice(parts.key, parts.serial)) {
        m_pipeline.CheckConnection(device);
    }
    RemoveMessages("DEVNODES_CHANGED");
}

void UsbService::HandleDeviceOffline(const std::string& deviceInfo)
{
    USB_LOG("had a device remove\n");
    const InstanceIdParts parts = ParseInstanceId(DevicePathBody(deviceInfo), '#');
    USB_LOG("find a new device offline, %s\n", parts.serial.c_str());
    if (UsbDevice* device = m_deviceList.FindByDevice(parts.key, parts.serial)) {
        USB_LOG("usb cable broken, notify ui WM_CHECK_PHONE_EXTRACT\n");
        SendToUi(USB_WM_DEVICE_OFFLINE, DevicePayload(*device));
        m_pipeline.ForgetPhone(*device);
        m_deviceList.Remove(device);
    }
    RemoveMessages("DEVNODES_CHANGED");
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
    UsbDevice* device = m_deviceList.FindBySn(serial);
    if (!device)
        return;
    if (device->m_adbOpenRetry == 0) {
        device->m_adbOpenRetry = 1;
        m_pipeline.RetryDevice(serial);
    } else if (device->m_adbOpenRetry == 1) {
        device->m_adbOpenRetry = 0;
        m_track.Clear();
        m_track.Start(device->m_vid, device->m_pid, device->m_serial, device->m_description);
        m_track += "retry-->";
        SendToUi(USB_WM_TRY_CONNECT_PHONE, SerialPayload(device->m_serial));
        USB_LOG("step:0->notify ui to retry connect the phone...\n");
        m_track += "checkdriver-->";
        if (m_pipeline.CheckDriver(device) != 0)
            return;
        USB_LOG("this device's driver ok\n");
        m_track += "driverok-->";
        m_track += "checkadb-->";
        m_pipeline.CheckAdbConnection(device);
    }
}

void UsbService::HandleDevnodesChanged()
{
    const int change = ClassifyDeviceChange(m_decision, m_deviceList, false);
    if (change == kNewPhone) {
        USB_LOG("has a device arrive------------------\n");
        ScanPresentPhones(false);
    } else if (change == kNoPhone) {
        const std::map<std::string, UsbDevice*> records = m_deviceList.Snapshot();
        if (records.empty())
            return;
        USB_LOG("has a device remove---------------------\n");
        for (const auto& kv : records) {
            UsbDevice* device = kv.second;
            if (!IsPhonePresent(m_decision, device->m_vidPid, device->m_systemSn)) {
                USB_LOG("usb cable broken, notify ui WM_CHECK_PHONE_EXTRACT\n");
                SendToUi(USB_WM_DEVICE_OFFLINE, DevicePayload(*device));
                m_pipeline.ForgetPhone(*device);
                m_deviceList.Remove(device);
                break;
            }
        }
    }
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
