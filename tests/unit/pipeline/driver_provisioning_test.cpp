// Step 2 as the host sees it: Windows' own install, the cloud's packages, the installer runs.
#include <atomic>
#include <regex>

#include "pipeline/driver_install.h"
#include "discovery/device_scan.h"
#include "pipeline_fixture.h"
#include "support/md5.h"
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
    DriverStage() { NextRow(); }
    // Each row of a table starts from a phone without a driver, an empty flow and a bare tree.
    void NextRow()
    {
        Fake::Describe(device, "SER123", "18D1", "4EE7").m_isDriverOk = false;
        device.m_deviceUrl = device.m_fileMd5 = device.m_vidDriverUrl = device.m_vidDriverMd5 = "";
        device.m_generalDriverUrl = device.m_generalDriverMd5 = device.m_driverFile = "";
        Fake::ClearTranscript(platform);
        tree.Clear();
        tree.listings = tree.appearAt = tree.pendingInstallWaits = 0;
        tree.beforeWait = nullptr;
        ran.clear();
        installer.runs.clear();
        http.ClearRecords();
        http.reads = 0;
        host.Clear();
    }
    // The cloud's answer to the driver query: `json` after "result":, $MD5 the package's digest.
    void ServeQuery(const std::string& json)
    {
        http.ServeJson("/api/v1/drive/query/",
                       "{\"result\":" + std::regex_replace(json, std::regex("\\$MD5"), MD5::Of(kPackage)));
        for (const char* p : {"/d/pkg.zip", "/d/pkg.msi", "/d/pkg.exe", "/d/vendor.exe", "/d/general.exe"})
            http.ServeJson(p, kPackage);
    }
    std::string ResultFile() const { return GetDataDirectory() + kPathSep + "insret.txt"; }
    // An installer that reports `result` and, on success, makes Windows list the ADB interface;
    // `ran` keeps the bytes of the program it ran.
    void Installer(const std::string& result = "success:bound")
    {
        installer.onRun = [this, result](const Fake::InstallService::Run& run) {
            ran = Fake::ReadFile(run.program);
            unheld += !platform.guard.Holds(device.m_driverFile);
            Fake::WriteFile(ResultFile(), result);
            if (result.rfind("success:", 0) == 0)
                tree.AddAdbDriverInterface(L"USB\\VID_18D1&PID_4EE7&MI_01\\6&12345678&0&0001");
        };
    }
    // A flow whose installer runs on its own thread, with the requests and runs after it. The
    // thread's log lines interleave with the poll's at random, so they are left out here
    // (PackageKinds shows them in order).
    void ExpectThreadedFlow(const std::string& name, std::string extra = "")
    {
        WaitForInstalls();
        for (const auto& run : installer.runs)
            extra += "run: " + run.program + " " + run.parameters + "\n";
        for (const auto& r : http.Records())
            extra += "http: " + r.method + " " + r.path + "\n";
        static const std::regex kInstallThread("\n(notify ui install this driver|zip\\.\\.\\.\\.|msi\\.\\.\\.\\.|"
                                               "exe\\.\\.\\.\\.|before exec path|exec path|the installer |"
                                               "the return string|the driver install |the insret\\.txt)[^\n]*");
        const std::string text =
            std::regex_replace("\n" + Fake::Transcript(platform, extra, false), kInstallThread, "");
        Fake::ExpectTranscript(name, text.substr(1));
    }
    UsbDevice device;
    std::string ran;
    int unheld = 0;  // installers started while others could still write their package
};

// Step 2 from the query to the result: which package runs, how, and what the host hears. A
// phone that leaves while its package downloads, while Windows installs after the download, or
// while its installer runs gets nothing more: no other package, no failure, no success. A
// package changed after its download never runs; a download given up leaves no file.
TEST_F(DriverStage, Step2Flows)
{
    const std::string package = platform.system.tempFolder + "VID_18D1&PID_4EE7.exe";
    auto slowDownload = [this](int windowsInstalling) {
        tree.pendingInstallWaits = windowsInstalling;  // then the host hears of no download
        Fake::HttpAnswer slow{std::string(50000, 'p')};
        slow.maxChunk = 1000;
        slow.onRead = [this] { Unplug(device); };
        http.Serve("/d/pkg.exe", slow);
    };
    auto swapAfterDownload = [&] {  // while Windows' own install is waited for
        tree.beforeWait = [&] {
            if (FileExists(package))
                Fake::WriteFile(package, "swapped");
        };
    };
    const std::string unplugged = R"(0,"data":{"deviceurl":"http://cloud.test/d/pkg.exe","filemd5":"$MD5",)"
                                  R"("generalDriveURL":"http://cloud.test/d/general.exe","generalDriveMD5":"$MD5"}})";
    const struct {
        const char* name;
        std::string query;
        int wow64;
        const char* installerResult;
        int result;
        std::function<void()> then;  // after the query is served
    } flows[] = {
        // clang-format off
        {"driver_zip_x64", R"(0,"data":{"deviceurl":"http://cloud.test/d/pkg.zip","filemd5":"$MD5"}})", 1, "success:bound", kStepPassed, nullptr},
        {"driver_msi_fails_and_is_reported", R"(0,"data":{"deviceurl":"http://cloud.test/d/pkg.msi","filemd5":"$MD5"}})", 0, "fail:no device", kStepEnded, nullptr},
        {"driver_vendor_package", R"(1,"data":{"errorCode":20201,"vidDriveURL":"http://cloud.test/d/vendor.exe","vidDriveMD5":"$MD5"}})", 0, "success:bound", kStepPassed, nullptr},
        {"driver_general_last_resort", R"(0,"data":{"deviceurl":"http://cloud.test/d/gone.zip","filemd5":"x","generalDriveURL":"http://cloud.test/d/general.exe","generalDriveMD5":"$MD5"}})", 0, "success:bound", kStepPassed, nullptr},
        {"driver_device_fails_no_general", R"(0,"data":{"deviceurl":"http://cloud.test/d/gone.zip","filemd5":"x"}})", 0, "", kStepEnded, nullptr},
        {"driver_query_fails", R"(1,"data":{"errorCode":20299}})", 0, "", kStepEnded, nullptr},
        {"driver_package_swapped_before_launch", R"(0,"data":{"deviceurl":"http://cloud.test/d/pkg.exe","filemd5":"$MD5"}})", 0, "success:bound", kStepEnded, swapAfterDownload},
        {"driver_unplug_download_with_progress", unplugged, 1, "", kStepEnded, [&] { slowDownload(0); }},
        {"driver_unplug_download_without_progress", unplugged, 1, "", kStepEnded, [&] { slowDownload(1); }},
        // clang-format on
        {"driver_unplug_pending_wait", unplugged, 1, "", kStepEnded,
         [&] {  // Windows starts its own install once the file is there
             tree.beforeWait = [&, once = true]() mutable {
                 if (once && FileExists(package))
                     tree.pendingInstallWaits = 1000, Unplug(device), once = false;
             };
         }},
        {"driver_unplug_install_poll", unplugged, 1, "", kStepEnded,
         [&] {
             installer.onRun = [this](const Fake::InstallService::Run&) {
                 Unplug(device);
                 // Hold the installer until the poll has seen the phone leave.
                 for (long i = 0; i < 200000000L && device.m_stop; ++i)
                     LockGuard guard(PipelineTestAccess::DeviceLock(service.Pipeline()));
             };
         }},
    };
    http.ServeJson("/api/v1/drive/installerror/", R"({"result":0,"data":null})");
    for (const auto& flow : flows) {
        SCOPED_TRACE(flow.name);
        NextRow();
        RemoveFile(package);
        device.m_vidDriverUrl = "http://cloud.test/d/vendor.zip";  // only tried without a device package
        platform.system.wow64 = flow.wow64;
        ServeQuery(flow.query);
        Installer(flow.installerResult);
        if (flow.then)
            flow.then();
        EXPECT_EQ(service.Pipeline().CheckDriver(&device), flow.result);
        EXPECT_FALSE(device.m_stop);
        EXPECT_LT(http.reads, 60u);  // a download in progress stops too
        ExpectThreadedFlow(flow.name);
        EXPECT_FALSE(FileExists(ResultFile()));
        EXPECT_FALSE(FileExists(package + ".tmp"));
        EXPECT_NE(ran, "swapped");
    }
    EXPECT_EQ(unheld, 0);
}

// Each kind of package, told by its file's own extension, runs its installer (msiexec from the
// system folder, a zip through the helper for the system's bitness); a file of no known kind
// runs nothing, nor does a package that is not the one checked (it is deleted). An installer
// that needs elevation is started again through the shell; one that fails to start otherwise is
// not. The host's install service, when it runs, installs in place of a local run.
TEST_F(DriverStage, PackageKindsAndElevation)
{
    const struct {
        const char* file;
        int wow64;
        uint32_t plainError, elevatedError;
        bool service;
        const char* md5;  // null: the package's own
    } rows[] = {
        // clang-format off
        {"p.zip", 1, 0, 0, false, nullptr}, {"p.zip", 0, 0, 0, false, nullptr}, {"p.msi", 0, 0, 0, false, nullptr},
        {"p.exe", 0, 0, 0, false, nullptr}, {"p", 0, 0, 0, false, nullptr}, {"p.exe", 0, 740, 0, false, nullptr},
        {"p.exe", 0, 740, 1223, false, nullptr}, {"p.exe", 0, 2, 0, false, nullptr}, {"p.zip", 1, 0, 0, true, nullptr},
        {"d.msi/p.ZIP", 0, 0, 0, false, nullptr}, {"p.exe.txt", 0, 0, 0, false, nullptr},
        {"p.exe", 0, 0, 0, false, "0123456789abcdef0123456789abcdef"}, {"p.zip", 1, 0, 0, true, ""},
        // clang-format on
    };
    Installer();
    MakeDirectory(platform.root + kPathSep + "d.msi");
    std::string runs;
    for (const auto& row : rows) {
        installer.runs.clear();
        installer.requests.clear();
        installer.serviceRunning = row.service;
        platform.system.wow64 = row.wow64;
        installer.plainError = row.plainError;
        installer.elevatedError = row.elevatedError;
        device.m_driverFile = platform.root + kPathSep + row.file;
        Fake::WriteFile(device.m_driverFile, kPackage);
        device.m_isDriverOk = true;
        const int result = InstallDriver(&device, row.md5 ? row.md5 : MD5::Of(kPackage));
        runs += "result: " + std::to_string(result) + " driver ok " + std::to_string(device.m_isDriverOk) +
                (FileExists(device.m_driverFile) ? "" : " deleted") + "\n";
        for (const auto& run : installer.runs)
            runs += std::string(run.elevated ? "elevated" : "run") + ": " + run.program + " " + run.parameters + " " +
                    std::to_string(run.timeoutMs) + "\n";
        for (const auto& request : installer.requests)
            runs += "service: " + std::regex_replace(WideToNarrow(request), std::regex("\r\n"), "<CRLF>") + "\n";
    }
    ExpectFlow("driver_package_kinds", runs);
    EXPECT_EQ(unheld, 0);
    EXPECT_EQ(platform.guard.Open(), 0u);
    // Only the file an address's path names tells its kind.
    const char* const urls[][2] = {{"http://dl.msi.test/d/pkg.zip", ".zip"},  {"http://c.test/d/P.EXE?v=1.msi", ".exe"},
                                   {"http://c.test/d/pkg.zip#x.exe", ".zip"}, {"http://c.test/get?f=pkg.zip", ""},
                                   {"http://c.test/d.exe/pkg", ""},           {"http://pkg.exe", ""}};
    for (const auto& url : urls)
        EXPECT_EQ(GetPackageExtension(url[0]), url[1]) << url[0];
}

// Only the package the cloud announced, as it lies on disk, ever runs; a file already there
// with its digest is not fetched again; a download that fails leaves no file.
TEST_F(DriverStage, OnlyTheAnnouncedPackageEverRuns)
{
    const struct {
        const char* name;
        const char* onDisk;  // "/": a folder in the way of the move; null: nothing
        const char* served;  // "": never asked for
        bool announced;
    } rows[] = {
        {"driver_package_on_disk", kPackage, "", true},
        {"driver_package_stale_on_disk", "stale", kPackage, true},
        {"driver_package_without_digest", kPackage, kPackage, false},
        {"driver_package_wrong_digest", nullptr, "zip-package-bytez", true},
        {"driver_package_cannot_be_moved", "/", kPackage, true},
#ifndef _WIN32
        {"driver_package_close_fails", "/dev/full", kPackage, true},  // disk full
#endif
    };
    Installer();
    int index = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        NextRow();
        ran = "nothing";
        const std::string name = "pkg" + std::to_string(++index) + ".exe", onDisk = row.onDisk ? row.onDisk : "";
        device.m_driverFile = platform.root + kPathSep + name;
        if (onDisk == "/")
            MakeDirectory(device.m_driverFile), Fake::WriteFile(device.m_driverFile + kPathSep + "busy", "x");
#ifndef _WIN32
        else if (onDisk == "/dev/full")
            ASSERT_EQ(symlink("/dev/full", (device.m_driverFile + ".tmp").c_str()), 0);
#endif
        else if (row.onDisk)
            Fake::WriteFile(device.m_driverFile, onDisk);
        http.ServeJson("/" + name, row.served);
        const std::string md5 = row.announced ? MD5::Of(kPackage) : "";
        const int result = service.Pipeline().DownloadAndInstallDriver(&device, "http://cloud.test/" + name, md5, true);
        ExpectThreadedFlow(row.name, "result: " + std::to_string(result) + ", ran " + ran + "\n");
        EXPECT_FALSE(FileExists(device.m_driverFile + ".tmp"));
    }
}

// Phone A's installer still runs after A left; phone B's install waits for it, is never cut
// short by A's end, and the two installers never run at once.
TEST_F(DriverStage, InstallsOfTwoPhonesNeverShareOrCutEachOther)
{
    UsbDevice second;
    Fake::Describe(second, "SER456", "18D1", "4EE7");
    device.m_driverFile = second.m_driverFile = platform.root + kPathSep + "pkg.exe";
    Fake::WriteFile(device.m_driverFile, kPackage);
    std::atomic<int> running{0}, most{0}, runs{0};
    installer.onRun = [&](const Fake::InstallService::Run&) {
        most = std::max(most.load(), ++running);
        if (++runs == 1) {
            Unplug(device);  // A leaves; its installer goes on until B's install thread waits its turn
            while (InstallThreadsRunning() < 2)
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
    EXPECT_EQ(service.Pipeline().DownloadAndInstallDriver(&second, "http://cloud.test/x.exe", md5, false), kStepPassed);
    WaitForInstalls();
    EXPECT_EQ(runs.load(), 2);
    EXPECT_EQ(most.load(), 1);
    EXPECT_TRUE(second.m_isDriverOk);
}

// The host's install service: every request reaches it, its answer is read without case, and a
// silent, absent or refused service leaves the install to a local run.
TEST_F(DriverStage, HostService)
{
    installer.serviceRunning = true;
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
    ASSERT_EQ(installer.requests.size(), 5u);
    EXPECT_EQ(installer.requests[0], L"msiexec\r\n/i \"C:\\p.msi\"");
    EXPECT_EQ(installer.replyWaits, std::vector<uint32_t>(5, kHostServiceReplyTimeoutMs));
    EXPECT_EQ(installer.OpenHandles(), 0u);
    ExpectFlow("driver_host_service");
}

// Windows' own install: none pending, waited out after count + 1 passes, ended (the host then
// hears of no download), the driver found, or the phone gone meanwhile; within step 2 and on
// arrival.
TEST_F(DriverStage, PendingWaits)
{
    const struct {
        const char* name;
        int pendingWaits, appearAt;
        int passes;  // 0: the whole of step 2; -1: the arrival's own wait
        bool stop;
        int result;
    } rows[] = {
        {"pending_none", 0, 0, 20, false, kNothingPending},
        {"pending_waited_out", 1000, 0, 3, false, kPendingOver},
        {"pending_ended", 2, 0, 20, false, kPendingOver},
        {"pending_driver_found", 1000, 2, 20, false, kPendingOver},
        {"pending_phone_left", 1000, 0, 20, true, kPendingPhoneLeft},
        {"pending_in_step2", 1, 0, 0, false, kStepEnded},                // no "installing" after Windows' own install
        {"driver_present_at_third_check", 0, 3, 0, false, kStepPassed},  // no cloud
        {"pending_on_arrival", 1000, 0, -1, false, 0},                   // given up after five passes
    };
    ServeQuery(R"(1,"data":{"errorCode":1}})");
    for (const auto& row : rows) {
        NextRow();
        tree.pendingInstallWaits = row.pendingWaits;
        tree.appearAt = row.appearAt;
        device.m_stop = row.stop;
        const int result = row.passes > 0    ? service.Pipeline().WaitForPendingDriverInstall(&device, row.passes)
                           : row.passes == 0 ? service.Pipeline().CheckDriver(&device)
                                             : (WaitForWindowsDriverInstall("VID_18D1&PID_4EE7"), 0);
        EXPECT_EQ(result, row.result) << row.name;
        EXPECT_FALSE(device.m_stop);
        ExpectFlow(row.name);
    }
}

}  // namespace
}  // namespace PipelineTesting
}  // namespace USB
