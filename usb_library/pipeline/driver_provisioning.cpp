// Step 2: make sure Windows has an ADB driver bound to the phone. The presence checks are timers
// of the phone's flow; what may take minutes (Windows' own pending install, the cloud's driver
// query, the download, the installer) is one job on a copy of the phone's record, whose messages
// reach the host through the flow; the installer runs as a job of its own that it waits for.
#include "pipeline/driver_provisioning.h"

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>

#include "discovery/device_scan.h"
#include "pipeline/driver_install.h"
#include "pipeline/pipeline.h"
#include "support/json_utils.h"
#include "support/ports/ports.h"
#include "support/sys_utils.h"
#include "support/usb_event.h"
#include "support/usb_log.h"

namespace USB {

namespace {

constexpr int kPresenceChecks = 10;
constexpr uint32_t kPollMs = 200;
constexpr uint32_t kPendingSleepMs = 50;
constexpr int kStepPendingPasses = 20;
constexpr int kDownloadPendingPasses = 3600;
// While another phone's job downloads the same file, how often to look whether this phone left.
constexpr uint32_t kClaimSliceMs = 200;

// How Windows' own driver install went: over or waited out, the phone left meanwhile, or none
// was pending.
enum class PendingInstall { Over, PhoneLeft, NothingPending };
// How a download and install went: the driver is bound, it is not, or the phone left.
enum class Outcome { Passed, Failed, PhoneLeft };

// Phones of one model download to one path: one writer at a time, the others then find the file
// and check it like any package already on disk.
class PathClaims {
public:
    // False when the job was called off while it waited.
    bool Claim(const std::string& path) EXCLUDES(m_mutex)
    {
        UniqueLock lock(m_mutex);
        while (m_claimed.count(path)) {
            m_released.wait_for(lock, std::chrono::milliseconds(kClaimSliceMs));
            if (WorkCalledOff())
                return false;
        }
        m_claimed.insert(path);
        return true;
    }
    void Release(const std::string& path) EXCLUDES(m_mutex)
    {
        {
            LockGuard lock(m_mutex);
            m_claimed.erase(path);
        }
        m_released.notify_all();
    }

private:
    Mutex m_mutex;
    std::condition_variable_any m_released;
    std::set<std::string> m_claimed GUARDED_BY(m_mutex);
};

PathClaims& Claims()
{
    static PathClaims* const claims = new PathClaims();
    return *claims;
}

// One driver install: what the installer needs of the phone (the record may go away while the
// installer runs) and the install's own end, which only its poll waits for.
struct InstallJob {
    std::string vid;
    std::string pid;
    std::string file;
    std::string md5;  // the digest the package was checked against at its download
    std::atomic<bool> ended{false};
};

// An install, on a worker of its own and out of reach of its phone's end: the installer goes on
// when its phone leaves (a person may be looking at its elevation prompt). Installers of all
// phones run one after another.
void RunInstall(InstallJob& job)
{
    try {
        USB_LOG("notify ui install this driver....\n");
        const bool installed = InstallDriver(job.vid, job.pid, job.file, job.md5);
        job.ended = true;
        if (installed)
            USB_LOG("the driver install successfully\n");
        else
            USB_LOG("the driver install fail\n");
    } catch (...) {
        job.ended = true;
        USB_LOG("the driver install thread ended on an exception\n");
    }
}

// Runs an install as a job of the pipeline's; false when it cannot be started.
using InstallStarter = std::function<bool(std::function<void()>)>;

// The chain of one phone: runs on a worker with a copy of the phone's record, its own copy of
// the track record, and a way to the host that the flow guards.
class DriverChain {
public:
    DriverChain(const DeviceRecord& device, const TrackRecord& track, CloudClient& cloud,
                std::function<void(int, const std::string&)> outbox, InstallStarter startInstall)
        : m_device(device), m_track(track), m_cloud(cloud), m_outbox(std::move(outbox)),
          m_startInstall(std::move(startInstall))
    {
    }

    Outcome Run();
    const DeviceRecord& Device() const { return m_device; }
    const TrackRecord& Track() const { return m_track; }

    static bool Progress(int32_t percent, void* chain);

private:
    PendingInstall WaitForPendingDriverInstall(int passes);
    Outcome DownloadAndInstall(const std::string& url, const std::string& md5);
    void Send(int id) { m_outbox(id, DevicePayload(m_device)); }

    DeviceRecord m_device;
    TrackRecord m_track;
    CloudClient& m_cloud;
    std::function<void(int, const std::string&)> m_outbox;
    InstallStarter m_startInstall;
    bool m_notify = false;
};

PendingInstall DriverChain::WaitForPendingDriverInstall(int passes)
{
    if (NoPendingInstall(500))
        return PendingInstall::NothingPending;
    m_outbox(USB_WM_WAIT_DRIVER_INSTALL, SerialPayload(m_device.m_serial));
    int counter = passes;
    for (;;) {
        if (!PauseMs(kPendingSleepMs))
            return PendingInstall::PhoneLeft;
        if (NoPendingInstall(1000)) {
            USB_LOG("windows install the driver successfully\n");
            return PendingInstall::Over;
        }
        USB_LOG("wait windows install the driver\n");
        if (--counter < 0)
            return PendingInstall::Over;
        if (HasAdbDriverInterface(m_device.m_vidPid, m_device.m_systemSn)) {
            m_device.m_isDriverOk = true;
            return PendingInstall::Over;
        }
    }
}

Outcome DriverChain::Run()
{
    const PendingInstall pending = WaitForPendingDriverInstall(kStepPendingPasses);
    if (pending == PendingInstall::PhoneLeft)
        return Outcome::PhoneLeft;
    // The host hears of the download and install only when Windows was not installing itself.
    m_notify = pending == PendingInstall::NothingPending;
    if (m_device.m_isDriverOk)
        return Outcome::Passed;

    USB_LOG("notify ui driver installing...\n");
    if (m_notify)
        Send(USB_WM_DRIVER_INSTALLING);
    const std::optional<DriverOffer> offer = m_cloud.QueryDriver(m_device.m_vid, m_device.m_pid);
    if (!offer) {
        USB_LOG("get driver url fail\n");
        USB_LOG("notify ui driver access url fail\n");
        Send(USB_WM_DRIVER_DOWNLOAD_ACCESS_URL_FAIL);
        m_track += "DRIVER_CHECK_URL_FAIL";
        m_track.Write(true);
        return Outcome::Failed;
    }

    // The device's package, else its vendor's; the general one when neither installed.
    Outcome result = Outcome::Failed;
    const bool own = !offer->m_deviceUrl.empty();
    const std::string& url = own ? offer->m_deviceUrl : offer->m_vendorUrl;
    const bool tried = !url.empty();
    if (tried) {
        m_device.m_driverFile = GetTempDirectory() + m_device.m_vidPid + PackageExtensionOfUrl(url);
        result = DownloadAndInstall(url, own ? offer->m_deviceMd5 : offer->m_vendorMd5);
    }
    if (result == Outcome::PhoneLeft)
        return Outcome::PhoneLeft;
    if ((!tried || result != Outcome::Passed) && !offer->m_generalUrl.empty()) {
        m_device.m_driverFile = GetDataDirectory() + "general" + PackageExtensionOfUrl(offer->m_generalUrl);
        result = DownloadAndInstall(offer->m_generalUrl, offer->m_generalMd5);
        if (result == Outcome::PhoneLeft)
            return Outcome::PhoneLeft;
    }
    if (result == Outcome::Passed) {
        USB_LOG("notify ui driver install success\n");
        Send(USB_WM_DRIVER_INSTALLING_SUCCESS);
        return Outcome::Passed;
    }
    USB_LOG("notify ui check the driver install fail..\n");
    m_track += "DRIVER_CHECK_INSTALL_FAIL";
    m_track.Write(true);
    RemoveFile(m_device.m_driverFile);
    Send(USB_WM_DRIVER_INSTALLING_FAIL);
    return Outcome::Failed;
}

Outcome DriverChain::DownloadAndInstall(const std::string& url, const std::string& md5)
{
    if (m_notify)
        Send(USB_WM_DRIVER_DOWNLOADING);
    const std::string path = m_device.m_driverFile;
    if (!Claims().Claim(path))
        return Outcome::PhoneLeft;
    const bool downloaded = m_cloud.DownloadDriver(url, path, md5, &DriverChain::Progress, this);
    Claims().Release(path);
    // A phone that left during the download hears nothing more and gets no installer.
    if (WorkCalledOff())
        return Outcome::PhoneLeft;
    if (!downloaded) {
        USB_LOG("notify ui driver download fail\n");
        if (m_notify)
            Send(USB_WM_DRIVER_DOWNLOAD_FAIL);
        return Outcome::Failed;
    }
    if (m_notify)
        Send(USB_WM_DRIVER_DOWNLOAD_SUCCESS);

    if (WaitForPendingDriverInstall(kDownloadPendingPasses) == PendingInstall::PhoneLeft)
        return Outcome::PhoneLeft;
    if (m_device.m_isDriverOk) {
        USB_LOG("the windows system had installed this driver\n");
        RemoveFile(m_device.m_driverFile);
        return Outcome::Passed;
    }
    if (WorkCalledOff())
        return Outcome::PhoneLeft;

    Send(USB_WM_DRIVER_INSTALLING);
    auto job = std::make_shared<InstallJob>();
    job->vid = m_device.m_vid;
    job->pid = m_device.m_pid;
    job->file = m_device.m_driverFile;
    job->md5 = md5;
    const bool started = m_startInstall([job] { RunInstall(*job); });
    for (;;) {
        // Read before the probe, so that the probe after the installer's end is never skipped.
        const bool installing = started && !job->ended;
        if (HasAdbDriverInterface(m_device.m_vidPid, m_device.m_systemSn)) {
            USB_LOG("we found the adb driver has installed finish, we will continue to the process of the connect\n");
            m_device.m_isDriverOk = true;
            break;
        }
        if (!installing)
            break;
        // The installer goes on (a person may be looking at its elevation prompt); this phone
        // no longer waits for it.
        if (!PauseMs(kPollMs))
            return Outcome::PhoneLeft;
    }
    if (!m_device.m_isDriverOk) {
        // An installer that ended because its phone left is no failed install.
        if (WorkCalledOff())
            return Outcome::PhoneLeft;
        m_cloud.ReportInstallError(m_device.m_vid, m_device.m_pid);
        return Outcome::Failed;
    }
    return Outcome::Passed;
}

bool DriverChain::Progress(int32_t percent, void* context)
{
    DriverChain* chain = static_cast<DriverChain*>(context);
    // A phone that left ends its download whether or not the host hears of its progress.
    if (WorkCalledOff()) {
        USB_LOG("stop download the driver\n");
        return false;
    }
    if (!chain || !chain->m_notify)
        return true;
    Json::Value payload(Json::objectValue);
    payload["device_sn"] = chain->m_device.m_serial;
    payload["device_desc"] = chain->m_device.m_description;
    payload["down_progress"] = percent;
    USB_LOG("download progress is %d\n", percent);
    chain->m_outbox(USB_WM_DRIVER_DOWNLOAD_PROGRESS, WriteJson(payload));
    return true;
}

}  // namespace

std::string GetTempDirectory()
{
    std::string dir = GetPorts().system->TempFolder();
    if (dir.size() > 1024)
        dir.resize(1024);
    return dir;
}

// ---- step 2 of a flow --------------------------------------------------------------------

void ConnectionPipeline::CheckDriver(PhoneFlow& flow, DeviceRecord& device)
{
    USB_LOG("step:2->notify ui checking the driver of the phone?\n");
    SendDeviceToUi(device, USB_WM_CHECKING_ADB_DRIVER);
    flow.stage = PhoneFlow::Stage::DriverPresence;
    CheckDriverPresence(flow, 0);
}

void ConnectionPipeline::CheckDriverPresence(PhoneFlow& flow, int check)
{
    DeviceRecord* device = LiveRecord(flow);
    if (!device)
        return;
    if (check < kPresenceChecks) {
        // A look at the driver interfaces reads the whole device tree: a job, so that a phone
        // waiting for its driver does not hold the loop while others are served.
        const std::string key = device->m_vidPid, serial = device->m_systemSn;
        RunJob(flow, [this, key, serial, check]() -> std::function<void(PhoneFlow&)> {
            const bool present = HasAdbDriverInterface(key, serial);
            return [this, present, check](PhoneFlow& f) {
                DeviceRecord* record = LiveRecord(f);
                if (!record)
                    return;
                if (present) {
                    record->m_isDriverOk = true;
                    DriverPassed(f, *record);
                } else {
                    After(f, kPollMs, [this, check](PhoneFlow& again) { CheckDriverPresence(again, check + 1); });
                }
            };
        });
        return;
    }
    if (device->m_isDriverOk) {
        DriverPassed(flow, *device);
        return;
    }
    RunDriverJob(flow, *device);
}

void ConnectionPipeline::RunDriverJob(PhoneFlow& flow, DeviceRecord& device)
{
    flow.stage = PhoneFlow::Stage::DriverJob;
    // The installer is a job of its own that the chain waits for, counted with the flows' jobs.
    auto chain = std::make_shared<DriverChain>(
        device, flow.track, m_context.cloud, Outbox(flow), [this](std::function<void()> install) {
            return m_context.loop.RunJob([install, counted = CountJob()] { install(); });
        });
    RunJob(flow, [this, chain]() -> std::function<void(PhoneFlow&)> {
        const Outcome outcome = chain->Run();
        if (outcome == Outcome::PhoneLeft)
            return nullptr;
        return [this, chain, outcome](PhoneFlow& f) {
            f.track = chain->Track();
            DeviceRecord* record = LiveRecord(f);
            if (!record)
                return;
            const DeviceRecord& copy = chain->Device();
            record->m_isDriverOk = copy.m_isDriverOk;
            record->m_driverFile = copy.m_driverFile;
            if (outcome == Outcome::Passed)
                DriverPassed(f, *record);
            else
                EndFlow(f);
        };
    });
}

}  // namespace USB
