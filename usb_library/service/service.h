// The one service object: owns every subsystem, runs the event loop that takes the action
// messages of the listener and the host and drives every phone's flow, and is the host's sink for
// notifications.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "cloud/cloud_client.h"
#include "discovery/device_records.h"
#include "identification/not_phone_cache.h"
#include "identification/phone_decision.h"
#include "identification/whitelist.h"
#include "identification/whitelist_update.h"
#include "pipeline/pipeline.h"
#include "support/actions.h"
#include "support/config.h"
#include "support/event_loop.h"
#include "support/ports/listener_port.h"
#include "support/ui_sink.h"
#include "support/usb_event.h"
#include "support/usb_lock.h"
#include "support/usb_log.h"
#include "support/worker_pool.h"
#include "usbhelper.h"

namespace USB {

class UsbService : public UiSink {
public:
    UsbService();
    ~UsbService() override;
    UsbService(const UsbService&) = delete;
    UsbService& operator=(const UsbService&) = delete;

    // Lifecycle.
    void Start();
    // The first scan and the whitelist check, as a job of the service's own (IUSB_start, once
    // the host's callback is set).
    void StartInit();
    // Returns by `deadline` (about a second from the call) whatever the loop and the jobs are
    // doing; no host callback starts after.
    void Stop(std::chrono::steady_clock::time_point deadline);
    void Stop() { Stop(std::chrono::steady_clock::now() + std::chrono::milliseconds(kStopWaitMs)); }
    static constexpr int kStopWaitMs = 1000;

    // Action messages. Any thread; never waits for the loop.
    void PostMessage(const std::string& text) EXCLUDES(m_queueLock);
    static void MessageSink(const char* text, uint32_t length, void* service);
    // Drives the loop on the calling thread until no message is queued and no phone's check, job
    // (of a phone that left too) or tree check runs (phones waiting for their user may wait on);
    // for callers without a loop thread of the service's own. False when a stop ended it.
    bool RunUntilIdle();

    // Host notifications.
    // Delivered only while a callback is set; Stop clears it and waits (bounded) for those in
    // progress on other threads.
    void SendToUi(int id, const std::string& json) override EXCLUDES(m_callbackMutex);
    void SetCallback(UsbUiCallback callback) EXCLUDES(m_callbackMutex);
    static std::string MessageName(int id);

    // What the exports ask. Ids are upper-cased '#'-separated instance ids.
    // Starts the ADB server, or borrows the one running.
    void StartAdbServer();
    // Each empties the negative cache and reloads the whitelist first.
    bool IsPhone(const std::string& upperCasedId);
    bool HasPhone();
    // The phone list; loads the whitelist first when nothing has yet.
    bool BuildPhoneList(std::string& out);

private:
    void Init() EXCLUDES(m_serviceLock);
    // Init and the whitelist check and update: jobs of the service's pool, which its stop and its
    // end wait for (bounded).
    void StartHelperJob(std::function<void()> work);
    std::string PopMessage() EXCLUDES(m_queueLock);
    void RemoveMessages(Action action) EXCLUDES(m_queueLock);
    size_t QueuedMessages() EXCLUDES(m_queueLock);
    // Loop thread (or a caller that drives the loop itself): dispatches one message.
    void HandleMessage(const std::string& text);
    // The built-in vendors and the whitelist file (with the registry value) once more.
    void ReloadWhiteList();

    void RunLoop(unsigned generation);
    bool TakeAction();
    bool OnLoopThread() const;
    bool OnLeftBehindLoop() const;
    void CloseCallbacks(std::chrono::steady_clock::time_point deadline) EXCLUDES(m_callbackMutex);
    // Whether a DEVICE_OFFLINE for this device waits in the queue.
    bool LeavingSoon(const std::string& key, const std::string& serial) EXCLUDES(m_queueLock);

    void HandleDeviceOnline(const std::string& deviceInfo);
    void HandleDeviceOffline(const std::string& deviceInfo);
    void HandleUsbRetry(const std::string& text, const std::string& serial, int command);
    void HandleDevnodesChanged();

    // Each subsystem is declared after what it is built over.
    UsbConfig m_config;
    WhiteList m_whiteList;
    UsbDeviceList m_deviceList;
    CloudClient m_cloud{m_config.DriverHost()};
    NotPhoneCache m_notPhoneCache;
    // The init scan and the whitelist swap never overlap.
    Mutex m_serviceLock;
    Mutex m_queueLock;
    PhoneDecision m_decision{m_whiteList, m_notPhoneCache, m_cloud};
    WhitelistUpdater m_whitelistUpdater{
        m_whiteList,   m_notPhoneCache, m_cloud,
        m_serviceLock, m_config,        [this](std::function<void()> work) { StartHelperJob(std::move(work)); }};
    WorkerPool m_pool;
    EventLoop m_loop{m_pool};
    ConnectionPipeline m_pipeline{PipelineContext{m_loop, m_deviceList, *this, m_cloud, m_decision, m_config,
                                                  [this] { RemoveMessages(Action::DevnodesChanged); }}};

    std::deque<std::string> m_messages GUARDED_BY(m_queueLock);
    // One tree check at a time; changes meanwhile make it run once more.
    bool m_treeCheckRunning = false;
    bool m_treeCheckAgain = false;
    bool m_oneAtATime = false;
    std::atomic<bool> m_stop{false};
    std::atomic<unsigned> m_loopGeneration{0};
    std::shared_ptr<UsbEvent> m_loopEnded;
    // Held by the loop thread while it runs: a loop a stop left behind ends before the next runs.
    std::mutex m_loopAlive;
    ListenerPort* m_listener = nullptr;

    std::atomic<UsbUiCallback> m_callback{nullptr};
    Mutex m_callbackMutex;
    std::condition_variable_any m_callbackIdle;
    int m_callbacksRunning GUARDED_BY(m_callbackMutex) = 0;
};

// The process-wide listener (created by the first start) and the service object.
extern ListenerPort* g_listener;
UsbService& TheService();

}  // namespace USB
