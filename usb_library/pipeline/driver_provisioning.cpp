#include "pipeline/driver_provisioning.h"

#include <cstdio>
#include <cstring>
#include <thread>

#include "pipeline/driver_install.h"
#include "discovery/device_scan.h"
#include "pipeline/pipeline.h"
#include "support/json_utils.h"
#include "support/ports/ports.h"
#include "support/sys_utils.h"
#include "support/usb_event.h"
#include "support/usb_log.h"

namespace USB {

namespace {

std::atomic<int> g_installThreads{0};

constexpr int kPresenceChecks = 10;
constexpr uint32_t kPollMs = 200;
constexpr uint32_t kPendingSleepMs = 50;
constexpr int kStepPendingPasses = 20;
constexpr int kDownloadPendingPasses = 3600;
// Internal result of DownloadAndInstallDriver: the phone left, step 2 ends without a message.
constexpr int kPhoneLeft = -2;
static_assert(kPhoneLeft != kStepPassed && kPhoneLeft != kStepEnded, "a result of its own");

void DeleteFile(const std::string& path)
{
    if (!path.empty())
        RemoveFile(path);
}

// The message sink marks a leaving phone under the device lock; read and clear it the same way.
bool TakeStop(UsbCLock& deviceLock, UsbDevice& device)
{
    LockGuard guard(deviceLock);
    if (!device.m_stop)
        return false;
    device.m_stop = false;
    return true;
}

bool StartInstallThread(const std::shared_ptr<InstallJob>& job)
{
    ++g_installThreads;
    try {
        std::thread([job] { DriverInstallThread(job.get()); }).detach();
        return true;
    } catch (const std::exception&) {
        USB_LOG("thread start fail\n");
        --g_installThreads;
        return false;
    }
}

// The download's progress function: the host hears of progress only when notified, but a
// phone that left ends its download either way.
struct DownloadWatch {
    ConnectionPipeline* pipeline;
    UsbCLock* deviceLock;
    UsbDevice* device;
    bool notify;
};

int32_t USB_CDECL WatchDownload(int32_t percent, void* context)
{
    DownloadWatch* watch = static_cast<DownloadWatch*>(context);
    if (watch->notify)
        return ConnectionPipeline::OnDownloadProgress(percent, watch->pipeline);
    LockGuard guard(*watch->deviceLock);
    if (watch->device->m_stop) {
        USB_LOG("stop download the driver\n");
        return kStopDownload;
    }
    return kContinueDownload;
}

}  // namespace

std::string GetTempDirectory()
{
    std::string dir = GetPorts().system->TempFolder();
    if (dir.size() > 1024)
        dir.resize(1024);
    return dir;
}

std::string GetPackageExtension(const std::string& url)
{
    return PackageExtensionOfUrl(url);
}

unsigned DriverInstallThread(InstallJob* job)
{
    try {
        USB_LOG("notify ui install this driver....\n");
        int result = kDriverFailed;
        if (job && job->device) {
            LockGuard guard(InstallLock());
            result = InstallDriver(job->device.get(), job->md5);
        }
        if (result == kDriverOk)
            USB_LOG("the driver install successfully\n");
        else
            USB_LOG("the driver install fail\n");
    } catch (...) {
        USB_LOG("the driver install thread ended on an exception\n");
    }
    if (job)
        job->ended = true;
    --g_installThreads;
    return 0;
}

int InstallThreadsRunning()
{
    return g_installThreads;
}

int ConnectionPipeline::WaitForPendingDriverInstall(UsbDevice* device, int passes)
{
    if (!device)
        return kPendingPhoneLeft;
    if (NoPendingInstall(500))
        return kNothingPending;
    SendSerialToUi(USB_WM_WAIT_DRIVER_INSTALL, device->m_serial);
    // The device lock is let go during each pause, so that the message sink can mark a phone
    // that leaves meanwhile.
    int counter = passes;
    for (;;) {
        PauseMs(kPendingSleepMs);
        LockGuard guard(m_context.deviceLock);
        if (device->m_stop) {
            USB_LOG("this device had been pluged out\n");
            device->m_stop = false;
            return kPendingPhoneLeft;
        }
        if (NoPendingInstall(1000)) {
            USB_LOG("windows install the driver successfully\n");
            return kPendingOver;
        }
        USB_LOG("wait windows install the driver\n");
        if (--counter < 0)
            return kPendingOver;
        if (HasAdbDriverInterface(device->m_vidPid, device->m_systemSn)) {
            device->m_isDriverOk = true;
            return kPendingOver;
        }
    }
}

// ---- step 2 ----------------------------------------------------------------------------

int ConnectionPipeline::CheckDriver(UsbDevice* device)
{
    if (!device) {
        USB_LOG("dev param is null\n");
        return kStepEnded;
    }
    USB_LOG("step:2->notify ui checking the driver of the phone?\n");
    SendDeviceToUi(device, USB_WM_CHECKING_ADB_DRIVER);
    for (int i = 0; i < kPresenceChecks; ++i) {
        if (HasAdbDriverInterface(device->m_vidPid, device->m_systemSn)) {
            device->m_isDriverOk = true;
            break;
        }
        PauseMs(kPollMs);
    }
    if (device->m_isDriverOk)
        return kStepPassed;

    const int pending = WaitForPendingDriverInstall(device, kStepPendingPasses);
    if (pending == kPendingPhoneLeft)
        return kStepEnded;
    // The host hears of the download and install only when Windows was not installing itself.
    const bool notify = pending == kNothingPending;
    if (device->m_isDriverOk)
        return kStepPassed;

    USB_LOG("notify ui driver installing...\n");
    if (notify)
        SendDeviceToUi(device, USB_WM_DRIVER_INSTALLING);
    if (!m_context.cloud.QueryDriver(device)) {
        USB_LOG("get driver url fail\n");
        USB_LOG("notify ui driver access url fail\n");
        SendDeviceToUi(device, USB_WM_DRIVER_DOWNLOAD_ACCESS_URL_FAIL);
        m_context.track += "DRIVER_CHECK_URL_FAIL";
        m_context.track.Write(true);
        return kStepEnded;
    }

    int result = kStepEnded;
    bool tried = false;
    if (!device->m_deviceUrl.empty()) {
        tried = true;
        device->m_driverFile = GetTempDirectory() + device->m_vidPid + GetPackageExtension(device->m_deviceUrl);
        result = DownloadAndInstallDriver(device, device->m_deviceUrl, device->m_fileMd5, notify);
    } else if (!device->m_vidDriverUrl.empty()) {
        tried = true;
        device->m_driverFile = GetTempDirectory() + device->m_vidPid + GetPackageExtension(device->m_vidDriverUrl);
        result = DownloadAndInstallDriver(device, device->m_vidDriverUrl, device->m_vidDriverMd5, notify);
    }
    if (result == kPhoneLeft)
        return kStepEnded;
    if ((!tried || result != kStepPassed) && !device->m_generalDriverUrl.empty()) {
        device->m_driverFile = GetDataDirectory() + "general" + GetPackageExtension(device->m_generalDriverUrl);
        result = DownloadAndInstallDriver(device, device->m_generalDriverUrl, device->m_generalDriverMd5, notify);
        if (result == kPhoneLeft)
            return kStepEnded;
    }
    if (result == kStepPassed) {
        USB_LOG("notify ui driver install success\n");
        SendDeviceToUi(device, USB_WM_DRIVER_INSTALLING_SUCCESS);
        return kStepPassed;
    }
    USB_LOG("notify ui check the driver install fail..\n");
    m_context.track += "DRIVER_CHECK_INSTALL_FAIL";
    m_context.track.Write(true);
    DeleteFile(device->m_driverFile);
    SendDeviceToUi(device, USB_WM_DRIVER_INSTALLING_FAIL);
    return kStepEnded;
}

int ConnectionPipeline::DownloadAndInstallDriver(UsbDevice* device, const std::string& url, const std::string& md5,
                                                 bool notify)
{
    if (!device)
        return kStepEnded;
    if (notify)
        SendDeviceToUi(device, USB_WM_DRIVER_DOWNLOADING);
    m_downloadDevice = device;
    DownloadWatch watch{this, &m_context.deviceLock, device, notify};
    const int downloaded = m_context.cloud.DownloadDriver(url, device->m_driverFile, md5, &WatchDownload, &watch);
    m_downloadDevice = nullptr;
    // A phone that left during the download hears nothing more and gets no installer.
    if (TakeStop(m_context.deviceLock, *device)) {
        USB_LOG("this device had been pluged out\n");
        return kPhoneLeft;
    }
    if (downloaded != kDriverOk) {
        USB_LOG("notify ui driver download fail\n");
        if (notify)
            SendDeviceToUi(device, USB_WM_DRIVER_DOWNLOAD_FAIL);
        return kStepEnded;
    }
    if (notify)
        SendDeviceToUi(device, USB_WM_DRIVER_DOWNLOAD_SUCCESS);

    if (WaitForPendingDriverInstall(device, kDownloadPendingPasses) == kPendingPhoneLeft)
        return kPhoneLeft;
    if (device->m_isDriverOk) {
        USB_LOG("the windows system had installed this driver\n");
        DeleteFile(device->m_driverFile);
        return kStepPassed;
    }
    if (TakeStop(m_context.deviceLock, *device)) {
        USB_LOG("this device had been pluged out\n");
        return kPhoneLeft;
    }

    SendDeviceToUi(device, USB_WM_DRIVER_INSTALLING);
    auto job = std::make_shared<InstallJob>();
    job->device = std::make_unique<UsbDevice>();
    job->device->m_serial = device->m_serial;
    job->device->m_vid = device->m_vid;
    job->device->m_pid = device->m_pid;
    job->device->m_vidPid = device->m_vidPid;
    job->device->m_driverFile = device->m_driverFile;
    job->md5 = md5;
    const bool started = StartInstallThread(job);

    for (;;) {
        if (TakeStop(m_context.deviceLock, *device)) {
            USB_LOG("this device had been pluged out\n");
            return kPhoneLeft;
        }
        // Read before the probe, so that the probe after the installer's end is never skipped.
        const bool installing = started && !job->ended;
        if (HasAdbDriverInterface(device->m_vidPid, device->m_systemSn)) {
            USB_LOG("we found the adb driver has installed finish, we will continue to the process of the connect\n");
            device->m_isDriverOk = true;
            break;
        }
        if (!installing)
            break;
        PauseMs(kPollMs);
    }

    if (!device->m_isDriverOk) {
        m_context.cloud.ReportInstallError(device->m_vid, device->m_pid);
        return kStepEnded;
    }
    return kStepPassed;
}

int32_t ConnectionPipeline::OnDownloadProgress(int32_t percent, void* context)
{
    if (!context)
        return kContinueDownload;
    ConnectionPipeline* self = static_cast<ConnectionPipeline*>(context);
    Json::Value payload(Json::objectValue);
    if (UsbDevice* device = self->m_downloadDevice) {
        if (device->m_stop) {
            USB_LOG("stop download the driver\n");
            return kStopDownload;
        }
        payload["device_sn"] = device->m_serial;
        payload["device_desc"] = device->m_description;
    }
    payload["down_progress"] = percent;
    USB_LOG("download progress is %d\n", percent);
    self->m_context.ui.SendToUi(USB_WM_DRIVER_DOWNLOAD_PROGRESS, WriteJson(payload));
    return kContinueDownload;
}

}  // namespace USB
