// The one service object: owns every piece of state and runs the event loop.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cloud/Usb_Cloud.h"
#include "discovery/USB_DeviceList.h"
#include "identification/USB_WriteList.h"
#include "identification/phone_decision.h"
#include "identification/vendor_cache.h"
#include "identification/whitelist_update.h"
#include "pipeline/pipeline.h"
#include "support/Usb_Config.h"
#include "support/ports/listener_port.h"
#include "support/usb_event.h"
#include "support/usb_lock.h"
#include "support/usb_log.h"
#include "usbhelper.h"

namespace USB {

class UsbService : public UiSink {
public:
    UsbService();
    virtual ~UsbService();
    UsbService(const UsbService&) = delete;
    UsbService& operator=(const UsbService&) = delete;

    // Lifecycle.
    void Start();
    static unsigned InitThread(void* service);
    void Init();
    // Returns within about a second whatever the loop is doing; no host callback starts after.
    int Stop();
    static unsigned EventLoop(void* service);

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

    // The owned subsystems, for tests that drive one of them inside a whole service.
    TrackRecord& Track() { return m_track; }
    UsbDeviceList& Devices() { return m_deviceList; }
    WhiteList& Whitelist() { return m_whiteList; }
    UsbCloud& Cloud() { return m_cloud; }
    VendorCache& VendorCacheOf() { return m_vendorCache; }
    PhoneDecision& Decision() { return m_decision; }
    WhitelistUpdater& Updater() { return m_whitelistUpdater; }
    ConnectionPipeline& Pipeline() { return m_pipeline; }

    // Starts the ADB server, or borrows the one running.
    void StartAdbServer();

    // Phone questions of the exports. Each empties the negative cache and reads the whitelist
    // again first (IsPhone, HasPhone); ids are upper-cased '#'-separated instance ids.
    void ReloadWhiteList();
    bool IsPhone(const std::string& upperCasedId);
    bool HasPhone();
    // The phone list; loads the whitelist first when nothing has yet.
    bool BuildPhoneList(std::string& out);

    UsbRegistry m_registry;
    WhiteList m_whiteList;
    UsbDeviceList m_deviceList;
    UsbCloud m_cloud;
    std::deque<std::string> m_messages;
    UsbCLock m_serviceLock;
    UsbCLock m_queueLock;
    UsbCLock m_deviceLock;
    std::atomic<UsbUiCallback> m_callback{nullptr};
    ListenerPort* m_listener = nullptr;
    std::atomic<bool> m_stop{false};
    std::shared_ptr<UsbEvent> m_loopEnded;
    UsbConfig m_config;
    TrackRecord m_track{m_config};

    // Signalled by every push so the loop sleeps until there is work.
    UsbEvent m_queueSignal;
    std::atomic<unsigned> m_loopGeneration{0};
    std::atomic<int> m_helperThreads{0};
    VendorCache m_vendorCache;
    PhoneDecision m_decision{m_whiteList, m_vendorCache, m_cloud};
    WhitelistUpdater m_whitelistUpdater{m_whiteList, m_vendorCache, m_cloud, m_serviceLock, m_config,
                                        [this](std::function<void()> work) { StartHelperThread(std::move(work)); }};
    ConnectionPipeline m_pipeline{PipelineContext{m_deviceList, m_deviceLock, *this, m_track, m_cloud}};

private:
    void RunLoop(unsigned generation);
    bool OnLoopThread() const;
    bool OnLeftBehindLoop() const;
    void CloseCallbacks(std::chrono::steady_clock::time_point deadline);

    std::mutex m_callbackMutex;
    std::condition_variable m_callbackIdle;
    int m_callbacksRunning = 0;
    void HandleDeviceOnline(const std::string& deviceInfo);
    void HandleDeviceOffline(const std::string& deviceInfo);
    void HandleUsbRetry(const std::string& text, const std::string& serial, int command);
    void HandleDevnodesChanged();
};

// The process-wide listener (created by the first start) and the service object.
extern ListenerPort* g_listener;
UsbService& TheService();

}  // namespace USB
