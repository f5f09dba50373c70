// The one service object: owns every subsystem, runs the event loop that dispatches the action
// messages of the listener and the host, and is the host's sink for notifications.
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
#include "identification/whitelist.h"
#include "identification/phone_decision.h"
#include "identification/not_phone_cache.h"
#include "identification/whitelist_update.h"
#include "pipeline/pipeline.h"
#include "support/config.h"
#include "support/ports/listener_port.h"
#include "support/ui_sink.h"
#include "support/usb_event.h"
#include "support/usb_lock.h"
#include "support/usb_log.h"
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
    // The first scan and the whitelist check; run on a helper thread after the first start.
    void Init();
    // Returns within about a second whatever the loop is doing; no host callback starts after.
    int Stop();

    // Init and whitelist threads: detached, but counted so that a caller can tell when the
    // work they started has finished.
    void StartHelperThread(std::function<void()> work);
    int HelperThreadsRunning() const { return m_helperThreads; }

    // Action messages.
    void PostMessage(const std::string& text);
    static void MessageSink(const char* text, uint32_t length, void* service);
    std::string PopMessage();
    void RemoveMessages(const std::string& action);
    void HandleMessage(const std::string& text);
    size_t QueuedMessages();

    // Host notifications.
    // Delivered only while a callback is set; Stop clears it and waits (bounded) for those in
    // progress on other threads.
    void SendToUi(int id, const std::string& json) override;
    void SetCallback(UsbUiCallback callback);
    static std::string MessageName(int id);

    // What the exports ask. Ids are upper-cased '#'-separated instance ids.
    // Starts the ADB server, or borrows the one running.
    void StartAdbServer();
    // The built-in vendors and the whitelist file (with the registry value) once more.
    void ReloadWhiteList();
    // Each empties the negative cache and reloads the whitelist first.
    bool IsPhone(const std::string& upperCasedId);
    bool HasPhone();
    // The phone list; loads the whitelist first when nothing has yet.
    bool BuildPhoneList(std::string& out);

    // The owned subsystems, for tests that drive one of them inside a whole service.
    TrackRecord& Track() { return m_track; }
    UsbDeviceList& Devices() { return m_deviceList; }
    WhiteList& Whitelist() { return m_whiteList; }
    CloudClient& Cloud() { return m_cloud; }
    NotPhoneCache& NotPhoneCacheOf() { return m_notPhoneCache; }
    PhoneDecision& Decision() { return m_decision; }
    WhitelistUpdater& Updater() { return m_whitelistUpdater; }
    ConnectionPipeline& Pipeline() { return m_pipeline; }

private:
    void RunLoop(unsigned generation);
    bool OnLoopThread() const;
    bool OnLeftBehindLoop() const;
    void CloseCallbacks(std::chrono::steady_clock::time_point deadline);
    // Posts a DEVICE_ONLINE for every present phone without a record; true when any is present.
    bool ScanPresentPhones(bool shortDecision);

    void HandleDeviceOnline(const std::string& deviceInfo);
    void HandleDeviceOffline(const std::string& deviceInfo);
    void HandleUsbRetry(const std::string& text, const std::string& serial, int command);
    void HandleDevnodesChanged();

    // Each subsystem is declared after what it is built over.
    UsbConfig m_config;
    TrackRecord m_track{m_config};
    UsbRegistry m_registry;
    WhiteList m_whiteList;
    UsbDeviceList m_deviceList;
    CloudClient m_cloud;
    NotPhoneCache m_notPhoneCache;
    // Held by every dispatch, the init scan and the whitelist swap.
    UsbCLock m_serviceLock;
    UsbCLock m_queueLock;
    // Held while a phone's stop mark is read or written.
    UsbCLock m_deviceLock;
    PhoneDecision m_decision{m_whiteList, m_notPhoneCache, m_cloud};
    WhitelistUpdater m_whitelistUpdater{
        m_whiteList,   m_notPhoneCache, m_cloud,
        m_serviceLock, m_config,        [this](std::function<void()> work) { StartHelperThread(std::move(work)); }};
    ConnectionPipeline m_pipeline{PipelineContext{m_deviceList, m_deviceLock, *this, m_track, m_cloud}};

    std::deque<std::string> m_messages;
    // Signalled by every push so the loop sleeps until there is work.
    UsbEvent m_queueSignal;
    std::atomic<bool> m_stop{false};
    std::atomic<unsigned> m_loopGeneration{0};
    std::shared_ptr<UsbEvent> m_loopEnded;
    std::atomic<int> m_helperThreads{0};
    ListenerPort* m_listener = nullptr;

    std::atomic<UsbUiCallback> m_callback{nullptr};
    std::mutex m_callbackMutex;
    std::condition_variable m_callbackIdle;
    int m_callbacksRunning = 0;
};

// The process-wide listener (created by the first start) and the service object.
extern ListenerPort* g_listener;
UsbService& TheService();

}  // namespace USB
