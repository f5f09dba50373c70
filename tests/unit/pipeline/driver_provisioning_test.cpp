// Step 2 as the host sees it: Windows' own install, the cloud's packages, the installer runs.
#include <atomic>

#include "cloud/driver_install.h"
#include "discovery/device_scan.h"
#include "pipeline_fixture.h"
#include "support/Usb_MD5.h"
#include "support/sys_utils.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace USB {
namespace PipelineTesting {
namespace {

const char* const kPackage = "zip-package-bytes";

class DriverStage : public PipelineTest {
protected:
    DriverStage() { Fresh(device, "SER123"); }
    static void Fresh(UsbDevice& d, const char* serial)
    {
        d.m_pDeviceSn = serial;
        d.m_vid = "18D1";
        d.m_pid = "4EE7";
        d.m_vidPid = "VID_18D1&PID_4EE7";
        d.m_description = "Pixel";
        d.m_isDriverOk = false;
        d.m_deviceUrl = d.m_fileMd5 = d.m_vidDriverUrl = d.m_vidDriverMd5 = "";
        d.m_generalDriverUrl = d.m_generalDriverMd5 = d.m_driverFile = "";
    }
    void ServeQuery(const std::string& data)
    {
        http.Serve("/api/v1/drive/query/", Fake::HttpAnswer{"{\"result\":0,\"data\":" + data + "}"}, true);
    }
    void ServePackage(const std::string& path, const std::string& body = kPackage) { http.Serve(path, {body}); }
    std::string ResultFile() const { return GetDataDirectory() + kPathSep + "insret.txt"; }
    // An installer that reports `result` and, on success, makes Windows list the ADB interface.
    void Installer(const std::string& result = "success:bound")
    {
        installer.onRun = [this, result](const Fake::InstallService::Run&) {
            Fake::WriteFile(ResultFile(), result);
            if (result.rfind("success:", 0) == 0)
                tree.AddAdbDriverInterface(L"USB\\VID_18D1&PID_4EE7&MI_01\\6&12345678&0&0001");
        };
    }
    // A flow whose installer runs on its own thread: the thread's log lines interleave with the
    // poll's at random, so they are left out here (PackageKinds shows them in order).
    void ExpectThreadedFlow(const std::string& name, const std::string& extra = "")
    {
        // clang-format off
        static const char* const kInstallThread[] = {"notify ui install this driver", "zip....", "msi....", "exe....",
            "before exec path", "exec path", "the installer ", "the return string", "the driver install ",
            "the insret.txt"};
        // clang-format on
        std::string kept, text = Fake::Transcript(platform, extra, /*pauses=*/false);
        for (size_t at = 0, end; at < text.size(); at = end + 1) {
            end = text.find('\n', at);
            const std::string line = text.substr(at, end - at + 1);
            bool skip = false;
            for (const char* part : kInstallThread)
                skip |= line.rfind(part, 0) == 0;
            kept += skip ? "" : line;
        }
        Fake::ExpectTranscript(name, kept);
    }
    UsbDevice device;
};

// Step 2 from the query to the result: which package runs, how, and what the host hears.
TEST_F(DriverStage, PackageFlows)
{
    const struct {
        const char* name;
        std::string query;  // the answer after "result": ($MD5: the package's digest)
        int wow64;
        const char* installerResult;
        int result;
    } flows[] = {
        // clang-format off
        {"driver_zip_x64", R"(0,"data":{"deviceurl":"http://cloud.test/d/pkg.zip","filemd5":"$MD5"}})", 1, "success:bound", kStepPassed},
        {"driver_msi_fails_and_is_reported", R"(0,"data":{"deviceurl":"http://cloud.test/d/pkg.msi","filemd5":"$MD5"}})", 0, "fail:no device", kStepEnded},
        {"driver_vendor_package", R"(1,"data":{"errorCode":20201,"vidDriveURL":"http://cloud.test/d/vendor.exe","vidDriveMD5":"$MD5"}})", 0, "success:bound", kStepPassed},
        {"driver_general_last_resort", R"(0,"data":{"deviceurl":"http://cloud.test/d/gone.zip","filemd5":"x","generalDriveURL":"http://cloud.test/d/general.exe","generalDriveMD5":"$MD5"}})", 0, "success:bound", kStepPassed},
        {"driver_device_fails_no_general", R"(0,"data":{"deviceurl":"http://cloud.test/d/gone.zip","filemd5":"x"}})", 0, "", kStepEnded},
        {"driver_query_fails", R"(1,"data":{"errorCode":20299}})", 0, "", kStepEnded},
        // clang-format on
    };
    for (const auto& flow : flows) {
        SCOPED_TRACE(flow.name);
        Fake::ClearTranscript(platform);
        tree.Clear();
        Fresh(device, "SER123");
        device.m_vidDriverUrl = "http://cloud.test/d/vendor.zip";  // only tried without a device package
        platform.system.wow64 = flow.wow64;
        const std::string query = "{\"result\":" + flow.query;
        const size_t md5 = query.find("$MD5");
        http.Serve(
            "/api/v1/drive/query/",
            {md5 == std::string::npos ? query : query.substr(0, md5) + MD5::Of(kPackage) + query.substr(md5 + 4)},
            true);
        for (const char* p : {"/d/pkg.zip", "/d/pkg.msi", "/d/vendor.exe", "/d/general.exe"})
            ServePackage(p);
        http.Serve("/api/v1/drive/installerror/", Fake::HttpAnswer{R"({"result":0,"data":null})"}, true);
        Installer(flow.installerResult);
        EXPECT_EQ(service.Pipeline().CheckDriver(&device), flow.result);
        while (InstallThreadsRunning())
            std::this_thread::yield();
        std::string extra;
        for (const auto& run : installer.runs)
            extra += "run: " + run.program + " " + run.parameters + "\n";
        for (const auto& r : http.Records())
            extra += "http: " + r.method + " " + r.path + "\n";
        ExpectThreadedFlow(flow.name, extra);
        EXPECT_FALSE(FileExists(ResultFile()));
        installer.runs.clear();
        http.ClearRecords();
    }
}

// Each kind of package runs its installer (a zip through the helper for the system's bitness);
// a file of no known kind runs nothing.
TEST_F(DriverStage, PackageKindsRunTheirInstaller)
{
    Installer();
    std::string runs;
    for (const auto& row :
         std::vector<std::pair<const char*, int>>{{"p.zip", 1}, {"p.zip", 0}, {"p.msi", 0}, {"p.exe", 0}, {"p", 0}}) {
        installer.runs.clear();
        platform.system.wow64 = row.second;
        device.m_driverFile = platform.root + kPathSep + row.first;
        device.m_isDriverOk = true;
        const int result = service.Cloud().InstallDriver(&device);
        runs += "result: " + std::to_string(result) + " driver ok " + std::to_string(device.m_isDriverOk) + "\n";
        for (const auto& run : installer.runs)
            runs += "run: " + run.program + " " + run.parameters + " " + std::to_string(run.timeoutMs) + "\n";
    }
    ExpectFlow("driver_package_kinds", runs);
}

// Only the package the cloud announced, whole and as it lies on disk, ever runs.
TEST_F(DriverStage, OnlyTheAnnouncedPackageEverRuns)
{
    const std::string md5 = MD5::Of(kPackage);
    const struct {
        const char* what;
        const char* onDisk;  // "/": a folder in the way of the move; null: nothing
        const char* served;
        std::string status, md5;
        int64_t closeAfter;
        bool runs;
    } rows[] = {
        {"announced package on disk", kPackage, "", "HTTP/1.1 200 OK", md5, -1, true},
        {"other bytes on disk", "stale", kPackage, "HTTP/1.1 200 OK", md5, -1, true},
        {"no digest announced", kPackage, kPackage, "HTTP/1.1 200 OK", "", -1, false},
        {"cut short", nullptr, kPackage, "HTTP/1.1 200 OK", md5, 5, false},
        {"wrong digest", nullptr, "zip-package-bytez", "HTTP/1.1 200 OK", md5, -1, false},
        {"status 500", nullptr, kPackage, "HTTP/1.1 500 Internal Server Error", md5, -1, false},
        {"cannot be moved into place", "/", kPackage, "HTTP/1.1 200 OK", md5, -1, false},
#ifndef _WIN32
        {"close fails (disk full)", "/dev/full", kPackage, "HTTP/1.1 200 OK", md5, -1, false},
#endif
    };
    std::string ran;
    installer.onRun = [&ran, this](const Fake::InstallService::Run& run) {
        ran = Fake::ReadFile(run.program);
        Fake::WriteFile(ResultFile(), "success:bound");
        tree.AddAdbDriverInterface(L"USB\\VID_18D1&PID_4EE7&MI_01\\6&12345678&0&0001");
    };
    int index = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        tree.Clear();
        device.m_isDriverOk = false;
        installer.runs.clear();
        ran.clear();
        host.Clear();
        http.ClearRecords();
        const std::string path = "/d/pkg" + std::to_string(++index) + ".exe";
        device.m_driverFile = platform.root + kPathSep + "pkg" + std::to_string(index) + ".exe";
        if (row.onDisk && std::string(row.onDisk) == "/")
            MakeDirectory(device.m_driverFile), Fake::WriteFile(device.m_driverFile + kPathSep + "busy", "x");
#ifndef _WIN32
        else if (row.onDisk && std::string(row.onDisk) == "/dev/full")
            ASSERT_EQ(symlink("/dev/full", (device.m_driverFile + ".tmp").c_str()), 0);
#endif
        else if (row.onDisk)
            Fake::WriteFile(device.m_driverFile, row.onDisk);
        Fake::HttpAnswer answer(row.served, row.status);
        answer.closeAfter = row.closeAfter;
        http.Serve(path, answer);
        const int result =
            service.Pipeline().DownloadAndInstallDriver(&device, "http://cloud.test" + path, row.md5, true);
        while (InstallThreadsRunning())
            std::this_thread::yield();
        EXPECT_EQ(result, row.runs ? kStepPassed : kStepEnded);
        EXPECT_EQ(http.Records().size(), *row.served ? 1u : 0u);
        EXPECT_EQ(installer.runs.size(), row.runs ? 1u : 0u);
        EXPECT_EQ(host.WithId(USB_WM_DRIVER_DOWNLOAD_SUCCESS).size(), row.runs ? 1u : 0u);
        EXPECT_EQ(host.WithId(USB_WM_DRIVER_DOWNLOAD_FAIL).size(), row.runs ? 0u : 1u);
        EXPECT_EQ(ran, row.runs ? kPackage : "");
    }
}

// A phone that leaves while its package downloads, while Windows installs after the download,
// or while its installer runs gets nothing more: no other package, no failure, no success.
TEST_F(DriverStage, UnplugEndsStep2Quietly)
{
    const std::string md5 = MD5::Of(kPackage);
    const std::string package = platform.system.tempFolder + "VID_18D1&PID_4EE7.exe";
    auto slowDownload = [this](int windowsInstalling) {
        tree.pendingInstallWaits = windowsInstalling;  // then the host hears of no download
        Fake::HttpAnswer slow{std::string(50000, 'p')};
        slow.maxChunk = 1000;
        slow.onRead = [this] { Unplug(device); };
        http.Serve("/d/pkg.exe", slow);
    };
    const std::vector<std::pair<const char*, std::function<void()>>> rows = {
        {"driver_unplug_download_with_progress", [&] { slowDownload(0); }},
        {"driver_unplug_download_without_progress", [&] { slowDownload(1); }},
        {"driver_unplug_pending_wait",
         [&] {  // Windows starts its own install once the file is there
             tree.beforeWait = [&, once = true]() mutable {
                 if (once && FileExists(package))
                     tree.pendingInstallWaits = 1000, Unplug(device), once = false;
             };
         }},
        {"driver_unplug_install_poll",
         [&] {
             installer.onRun = [this](const Fake::InstallService::Run&) {
                 Unplug(device);
                 // Hold the installer until the poll has seen the phone leave.
                 for (long i = 0; i < 200000000L && device.m_stop; ++i)
                     UsbMutex guard(UsbServiceTestAccess::DeviceLock(service));
             };
         }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.first);
        Fake::ClearTranscript(platform);
        RemoveFile(package);
        http.ClearRecords();
        installer.onRun = nullptr;
        tree.beforeWait = nullptr;
        tree.pendingInstallWaits = 0;
        ServePackage("/d/pkg.exe");
        ServePackage("/d/general.exe");
        ServeQuery(R"({"deviceurl":"http://cloud.test/d/pkg.exe","filemd5":")" + md5 +
                   R"(","generalDriveURL":"http://cloud.test/d/general.exe","generalDriveMD5":")" + md5 + R"("})");
        row.second();
        EXPECT_EQ(service.Pipeline().CheckDriver(&device), kStepEnded);
        while (InstallThreadsRunning())
            std::this_thread::yield();
        EXPECT_FALSE(device.m_stop);
        EXPECT_LT(http.reads, 60u);  // a download in progress stops too
        http.reads = 0;
        std::string requests;
        for (const auto& r : http.Records())
            requests += "http: " + r.method + " " + r.path + "\n";
        ExpectThreadedFlow(row.first, requests);  // never the general package
    }
}

// Phone A's installer still runs after A left; phone B's install waits for it, is never cut
// short by A's end, and the two installers never run at once.
TEST_F(DriverStage, InstallsOfTwoPhonesNeverShareOrCutEachOther)
{
    UsbDevice second;
    Fresh(second, "SER456");
    device.m_driverFile = second.m_driverFile = platform.root + kPathSep + "pkg.exe";
    Fake::WriteFile(device.m_driverFile, kPackage);
    std::atomic<int> running{0}, most{0}, runs{0};
    std::atomic<bool> releaseFirst{false};
    installer.onRun = [&](const Fake::InstallService::Run&) {
        most = std::max(most.load(), ++running);
        if (++runs == 1) {
            Unplug(device);  // A leaves; its installer goes on
            while (!releaseFirst)
                std::this_thread::yield();
            Fake::WriteFile(ResultFile(), "fail:gone");
        } else {
            Fake::WriteFile(ResultFile(), "success:bound");
            tree.AddAdbDriverInterface(L"USB\\VID_18D1&PID_4EE7&MI_01\\6&12345678&0&0002");
        }
        --running;
    };
    const std::string md5 = MD5::Of(kPackage);
    EXPECT_NE(service.Pipeline().DownloadAndInstallDriver(&device, "http://cloud.test/x.exe", md5, false), kStepPassed);
    // A's installer ends only once B's install thread is waiting for its turn.
    std::thread release([&] {
        while (InstallThreadsRunning() < 2)
            std::this_thread::yield();
        releaseFirst = true;
    });
    EXPECT_EQ(service.Pipeline().DownloadAndInstallDriver(&second, "http://cloud.test/x.exe", md5, false), kStepPassed);
    release.join();
    while (InstallThreadsRunning())
        std::this_thread::yield();
    EXPECT_EQ(runs.load(), 2);
    EXPECT_EQ(most.load(), 1);
    EXPECT_TRUE(second.m_isDriverOk);
    const std::string log = platform.LogText();
    EXPECT_NE(log.find("the return string of the install's program is fail:gone\n"), std::string::npos);
    EXPECT_NE(log.find("the return string of the install's program is success:bound\n"), std::string::npos);
}

TEST_F(DriverStage, InstallerThatNeedsElevationIsStartedThroughTheShell)
{
    const struct {
        uint32_t plainError, elevatedError;
        const char* launches;  // p: plain, e: elevated
        int result;
    } rows[] = {{0, 0, "p", kDriverOk},
                {740, 0, "pe", kDriverOk},
                {740, 1223, "pe", kDriverFailed},
                {2, 0, "p", kDriverFailed}};
    device.m_driverFile = platform.root + kPathSep + "pkg.exe";
    Installer();
    Fake::ClearTranscript(platform);
    for (const auto& row : rows) {
        installer.runs.clear();
        installer.plainError = row.plainError;
        installer.elevatedError = row.elevatedError;
        EXPECT_EQ(service.Cloud().InstallDriver(&device), row.result);
        std::string launches;
        for (const auto& run : installer.runs)
            launches += run.elevated ? "e" : "p";
        EXPECT_EQ(launches, row.launches);
    }
    ExpectFlow("driver_elevation");
}

// The host's install service: every request reaches it, its answer is read without case, and a
// silent, absent or refused service leaves the install to a local run.
TEST_F(DriverStage, HostService)
{
    device.m_driverFile = "C:\\t\\VID_18D1&PID_4EE7.zip";
    Installer();
    EXPECT_EQ(service.Cloud().InstallDriver(&device), kDriverOk);  // no service at all: a local run
    EXPECT_EQ(installer.runs.size(), 1u);
    installer.serviceRunning = true;
    EXPECT_EQ(service.Cloud().InstallDriver(&device), kDriverOk);
    EXPECT_EQ(installer.runs.size(), 1u);  // the service installed it
    const struct {
        const wchar_t* answer;
        bool replies;
        std::string command;
        int result;
    } rows[] = {
        {L"SUCCESS", true, "msiexec\r\n/i \"C:\\p.msi\"", kServiceInstalled},
        {L"success but", true, "a\r\nb", kServiceNotInstalled},
        {L"success", false, "a\r\nb", kServiceNotInstalled},  // silent
        {L"success", true, "a\r\nb", kServiceInstalled},      // the next one still gets through
        {L"success", true, std::string(2047, 'c'), kServiceInstalled},
        {L"success", true, std::string(2048, 'c'), kServiceNotInstalled},  // refused before the service
    };
    for (const auto& row : rows) {
        installer.answer = row.answer;
        installer.serviceReplies = row.replies;
        EXPECT_EQ(InstallThroughHostService(row.command), row.result);
    }
    ASSERT_EQ(installer.requests.size(), 6u);
    EXPECT_EQ(installer.requests[0], NarrowToWide(GetExeDirectory()) +
                                         L"\\zordrvinstx64.exe\r\n\"C:\\t\\VID_18D1&PID_4EE7.zip\" vid=18D1 pid=4EE7");
    EXPECT_EQ(installer.requests[1], L"msiexec\r\n/i \"C:\\p.msi\"");
    EXPECT_EQ(installer.requests[5].size(), 2047u);
    EXPECT_EQ(installer.replyWaits, std::vector<uint32_t>(6, kHostServiceReplyTimeoutMs));
    EXPECT_EQ(installer.OpenHandles(), 0);
    ExpectFlow("driver_host_service");
}

// Windows' own install: none pending, waited out after count + 1 passes, ended (the host then
// hears of no download), the driver found, or the phone gone meanwhile.
TEST_F(DriverStage, PendingWaits)
{
    const struct {
        const char* name;
        int pendingWaits, appearAt, passes;
        bool stop;
        int result;
    } rows[] = {
        {"pending_none", 0, 0, 20, false, kNothingPending},
        {"pending_waited_out", 1000, 0, 3, false, kPendingOver},
        {"pending_ended", 2, 0, 20, false, kPendingOver},
        {"pending_driver_found", 1000, 2, 20, false, kPendingOver},
        {"pending_phone_left", 1000, 0, 20, true, kPendingPhoneLeft},
    };
    for (const auto& row : rows) {
        Fake::ClearTranscript(platform);
        tree.Clear();
        tree.listings = 0;
        tree.pendingInstallWaits = row.pendingWaits;
        tree.appearAt = row.appearAt;
        device.m_stop = row.stop;
        device.m_isDriverOk = false;
        EXPECT_EQ(service.Pipeline().WaitForPendingDriverInstall(&device, row.passes), row.result) << row.name;
        EXPECT_FALSE(device.m_stop);
        ExpectFlow(row.name);
    }
    Fake::ClearTranscript(platform);
    tree.pendingInstallWaits = 1;  // in step 2: no "installing" message after Windows' own install
    http.Serve("/api/v1/drive/query/", Fake::HttpAnswer{R"({"result":1,"data":{"errorCode":1}})"}, true);
    EXPECT_EQ(service.Pipeline().CheckDriver(&device), kStepEnded);
    ExpectFlow("pending_in_step2");
    Fake::ClearTranscript(platform);
    tree.Clear();
    tree.listings = 0;
    tree.appearAt = 3;  // present at the third check: no cloud
    EXPECT_EQ(service.Pipeline().CheckDriver(&device), kStepPassed);
    ExpectFlow("driver_present_at_third_check");
    Fake::ClearTranscript(platform);
    tree.Clear();
    tree.pendingInstallWaits = 1000;  // the arrival's own wait gives up after five passes
    WaitForWindowsDriverInstall("VID_18D1&PID_4EE7");
    ExpectFlow("pending_on_arrival");
}

}  // namespace
}  // namespace PipelineTesting
}  // namespace USB
