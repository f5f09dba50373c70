// The connection pipeline: from a recorded phone to a device the ADB server lists. Step 1 (ADB
// debugging on), step 2 (a driver bound), step 3 (the server lists the phone) and what the
// host is asked to do when a step fails.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "cloud/cloud_client.h"
#include "discovery/device_records.h"
#include "pipeline/adb_watch.h"
#include "support/ui_sink.h"
#include "support/usb_lock.h"
#include "support/usb_log.h"
#include "usbhelper.h"

namespace USB {

// What a step says to its caller: go on with the next one, or the flow ended here (the host
// was told, or the phone left).
constexpr int kStepPassed = 0;
constexpr int kStepEnded = -1;
// How Windows' own driver install went (WaitForPendingDriverInstall): over or waited out, the
// phone left meanwhile, or none was pending.
constexpr int kPendingOver = 0;
constexpr int kPendingPhoneLeft = -1;
constexpr int kNothingPending = -2;

// What the pipeline works with; owned by the service, which hands it over whole.
struct PipelineContext {
    UsbDeviceList& devices;
    // Held while a phone's stop mark is read or cleared (the message sink sets it).
    UsbCLock& deviceLock;
    UiSink& ui;
    TrackRecord& track;
    CloudClient& cloud;
};

class ConnectionPipeline {
public:
    using AdbListing = std::map<std::string, std::unique_ptr<AdbDevice>>;

    explicit ConnectionPipeline(const PipelineContext& context) : m_context(context) {}
    ConnectionPipeline(const ConnectionPipeline&) = delete;
    ConnectionPipeline& operator=(const ConnectionPipeline&) = delete;

    // ADB server (adb_server.cpp).
    void StartAdbServer();
    int EnsureAdbServer();
    int HandleAdbServerException(UsbDevice* device);
    void KillAdbServerCommand(const std::string& serial);

    // Steps 1 and 3 (connection.cpp).
    int CheckConnection(UsbDevice* device);
    int CheckAdbConnection(UsbDevice* device);
    AdbDevice* FindAdbDevice(UsbDevice* device);
    void RefreshAdbDevices();
    void RetryDevice(const std::string& serial);
    void RegisterAdbInterfaces(PhoneSystemInfo& phone, PhoneInfos& interfaces);
    // A phone left unauthorized or offline is checked again from the status step once the server
    // lists it as "device": the watch posts the re-run through `post` as an action message.
    void SetActionPoster(std::function<void(const std::string&)> post);
    void ResumeAdbConnection(const std::string& serial);
    void ForgetPhone(const UsbDevice& device);  // unplugged: its wait ends
    void StopWatching();                        // the service stops: every wait ends

    // Step 2 (driver_provisioning.cpp).
    int CheckDriver(UsbDevice* device);
    int DownloadAndInstallDriver(UsbDevice* device, const std::string& url, const std::string& md5, bool notify);
    int WaitForPendingDriverInstall(UsbDevice* device, int passes);
    // The download's progress to the host, naming the phone in progress; kStopDownload stops the
    // download of a phone that left.
    static int32_t USB_CDECL OnDownloadProgress(int32_t percent, void* pipeline);

    // The last ADB listing, by serial.
    const AdbListing& AdbDevices() const { return m_adbDevices; }
    // The phone whose flow is running (named by the download progress); null between flows.
    UsbDevice* DownloadDevice() const { return m_downloadDevice; }
    // A flow that ended without its own end (a stop, a failure) leaves no phone behind.
    void ForgetDownloadDevice() { m_downloadDevice = nullptr; }
    // Whether the server on port 5037 is another program's.
    bool BorrowedAdbServer() const { return m_bBorrowedAdbServer; }

private:
    friend struct PipelineTestAccess;

    void SendDeviceToUi(UsbDevice* device, int id);
    int CheckAdbStatus(UsbDevice* device);
    void WaitUntilListedOnline(UsbDevice* device);
    void SendSerialToUi(int id, const std::string& serial);

    PipelineContext m_context;
    AdbListing m_adbDevices;
    UsbDevice* m_downloadDevice = nullptr;
    std::atomic<bool> m_bBorrowedAdbServer{false};
    AdbStateWatch m_watch;
};

}  // namespace USB
