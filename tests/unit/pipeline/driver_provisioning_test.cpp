// Step 2 as the host sees it: Windows' own install, the cloud's packages, the installer runs.
#include <atomic>
#include <chrono>
#include <regex>
#include <thread>

#include "pipeline/driver_install.h"
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
const Phone kPhone{"18D1", "4EE7", "SER123"};

class DriverStage : public PipelineTest {
protected:
    DriverStage()
    {
        // While an installer runs (its package is held), its phone's poll pauses in a loop on the
        // fake clock: at full speed it would run the clock past the time limits of other phones'
        // cloud requests.
        platform.clock.onSleep = [this, loop = std::this_thread::get_id()](uint32_t) {
            if (platform.guard.Open() > 0 && std::this_thread::get_id() != loop)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        };
        http.ServeJson("/api/v1/drive/installerror/", R"({"result":0,"data":null})");
        bridge.Script({"SER123\tdevice\nSER456\tdevice\n"});
    }
    // Each row of a table starts from a bare tree, no package on disk and an empty flow.
    void NextRow()
    {
        Unplug(kPhone);
        Run();
        tree.Clear();
        tree.onDriverLookup = tree.onPendingWait = nullptr;
        tree.pendingInstallWaits = 0;
        RemoveFile(PackagePath(".exe"));
        Forget();
        installer.runs.clear();
        http.ClearRecords();
        http.reads = 0;
    }
    static std::string PackagePath(const std::string& extension)
    {
        return GetTempDirectory() + kPhone.Key() + extension;
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
    // An installer that reports `result` and, on success, binds the phone's driver.
    void Installer(const std::string& result = "success:bound")
    {
        installer.onRun = [this, result](const Fake::InstallService::Run&) {
            unheld += platform.guard.Open() == 0;
            Fake::WriteFile(ResultFile(), result);
            if (result.rfind("success:", 0) == 0)
                BindDriver(kPhone);
        };
    }
    // The flow with the installer runs and the requests after it. While an install thread runs
    // (also one that refuses its package) its phone's pauses are as many as the threads make
    // them: they are left out then.
    std::string DriverFlow(std::string extra = "")
    {
        for (const auto& run : installer.runs)
            extra += "run: " + run.program + " " + run.parameters + "\n";
        for (const auto& r : http.Records())
            extra += "http: " + r.method + " " + r.path + "\n";
        return Flow(extra, platform.LogCount("notify ui install this driver") == 0);
    }
    int unheld = 0;  // installers started while others could still write their package
    // Unplugs the phone once, from whichever thread gets here first, once the host has heard the
    // message its chain sent last (a message still on its way to the loop loses the race with
    // the removal, as it may).
    std::function<void()> UnplugOnce(const std::string& heard)
    {
        auto done = std::make_shared<std::atomic<bool>>(false);
        return [this, done, heard] {
            if (done->exchange(true))
                return;
            Fake::WaitFor([&] {
                const std::string names = HostOf(kPhone.serial);
                return names.size() >= heard.size() &&
                       names.compare(names.size() - heard.size(), heard.size(), heard) == 0;
            });
            Unplug(kPhone);
        };
    }
};

// Step 2 from the query to the result: which package runs, how, and what the host hears. A
// phone that leaves while its package downloads, while Windows installs after the download, or
// while its installer runs gets nothing more: no other package, no failure, no success.
TEST_F(DriverStage, Step2Flows)
{
    const std::string unplugged = R"(0,"data":{"deviceurl":"http://cloud.test/d/pkg.exe","filemd5":"$MD5",)"
                                  R"("generalDriveURL":"http://cloud.test/d/general.exe","generalDriveMD5":"$MD5"}})";
    auto slowDownload = [&](const std::string& heard) {
        Fake::HttpAnswer slow{std::string(50000, 'p')};
        slow.maxChunk = 1000;
        slow.onRead = UnplugOnce(heard);
        http.Serve("/d/pkg.exe", slow);
    };
    auto swapAfterDownload = [&] {  // while Windows' own install is waited for
        tree.onPendingWait = [] {
            if (FileExists(PackagePath(".exe")))
                Fake::WriteFile(PackagePath(".exe"), "swapped");
        };
    };
    const struct {
        const char* name;
        std::string query;
        bool wow64;
        const char* installerResult;
        std::function<void()> then;  // after the query is served
    } flows[] = {
        // clang-format off
        {"driver_zip_x64", R"(0,"data":{"deviceurl":"http://cloud.test/d/pkg.zip","filemd5":"$MD5"}})", 1, "success:bound", nullptr},
        {"driver_msi_fails_and_is_reported", R"(0,"data":{"deviceurl":"http://cloud.test/d/pkg.msi","filemd5":"$MD5"}})", 0, "fail:no device", nullptr},
        {"driver_vendor_package", R"(1,"data":{"errorCode":20201,"vidDriveURL":"http://cloud.test/d/vendor.exe","vidDriveMD5":"$MD5"}})", 0, "success:bound", nullptr},
        {"driver_general_last_resort", R"(0,"data":{"deviceurl":"http://cloud.test/d/gone.zip","filemd5":"x","generalDriveURL":"http://cloud.test/d/general.exe","generalDriveMD5":"$MD5"}})", 0, "success:bound", nullptr},
        {"driver_device_fails_no_general", R"(0,"data":{"deviceurl":"http://cloud.test/d/gone.zip","filemd5":"x"}})", 0, "", nullptr},
        {"driver_query_fails", R"(1,"data":{"errorCode":20299}})", 0, "", nullptr},
        {"driver_package_swapped_before_launch", R"(0,"data":{"deviceurl":"http://cloud.test/d/pkg.exe","filemd5":"$MD5"}})", 0, "success:bound", swapAfterDownload},
        {"driver_unplug_download_with_progress", unplugged, 1, "", [&] { slowDownload("WM_DRIVER_DOWNLOADING"); }},
        // clang-format on
        // Windows installs from the arrival on: the arrival's wait takes six looks, the seventh
        // (step 2) still sees it; the host then hears of no download.
        {"driver_unplug_download_without_progress", unplugged, 1, "",
         [&] { slowDownload("WM_WAIT_DRIVER_INSTALL"), tree.pendingInstallWaits = 7; }},
        {"driver_unplug_pending_wait", unplugged, 1, "",
         [&] {  // Windows starts its own install once the file is there
             tree.onPendingWait = [this, unplug = UnplugOnce("WM_DRIVER_DOWNLOAD_SUCCESS")] {
                 if (!FileExists(PackagePath(".exe")))
                     return;
                 {
                     std::lock_guard<std::mutex> g(tree.mutex);
                     tree.pendingInstallWaits = 1000;
                 }
                 unplug();
             };
         }},
        // The installer fails and ends while the poll pauses; the phone's unplug comes before the
        // poll's next look.
        {"driver_unplug_install_poll", unplugged, 1, "",
         [&] {
             auto stage = std::make_shared<std::atomic<int>>(0);  // 1: the installer runs; 2: the poll saw it
             installer.onRun = [stage](const Fake::InstallService::Run&) {
                 *stage = 1;
                 Fake::WaitFor([&] { return *stage == 2; });
             };
             tree.onDriverLookup = [this, stage, unplug = UnplugOnce("WM_DRIVER_INSTALLING")] {
                 if (*stage == 2) {
                     unplug();
                 } else if (*stage == 1) {  // the poll's look while the installer runs: it ends meanwhile
                     *stage = 2;
                     Fake::WaitFor([this] { return platform.LogCount("the driver install fail\n") > 0; });
                 }
             };
         }},
    };
    for (const auto& flow : flows) {
        SCOPED_TRACE(flow.name);
        NextRow();
        platform.system.wow64 = flow.wow64 ? SystemPort::Wow64::Yes : SystemPort::Wow64::No;
        ServeQuery(flow.query);
        Installer(flow.installerResult);
        if (flow.then)
            flow.then();
        Plug(kPhone, false);
        Run();
        EXPECT_LT(http.reads, 60u);  // a download in progress stops too
        Fake::ExpectTranscript(flow.name, DriverFlow());
        EXPECT_FALSE(FileExists(ResultFile()));
        EXPECT_FALSE(FileExists(PackagePath(".exe") + ".tmp"));
        for (const auto& run : installer.runs)  // a package that changed after its check never runs
            EXPECT_NE(Fake::ReadFile(run.program), "swapped");
    }
    EXPECT_EQ(unheld, 0);
}

// Each kind of package runs its installer (a zip through the helper for the system's bitness);
// a file of no known kind runs nothing. An installer that needs elevation is started again
// through the shell; one that fails to start otherwise is not. The host's install service, when
// it runs, installs in place of a local run.
TEST_F(DriverStage, PackageKindsAndElevation)
{
    const struct {
        const char* file;
        bool wow64;
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
        platform.system.wow64 = row.wow64 ? SystemPort::Wow64::Yes : SystemPort::Wow64::No;
        installer.plainError = row.plainError;
        installer.elevatedError = row.elevatedError;
        const std::string file = platform.root + kPathSep + row.file;
        Fake::WriteFile(file, kPackage);
        const bool installed = InstallDriver("18D1", "4EE7", file, row.md5 ? row.md5 : MD5::Of(kPackage));
        runs += std::string(installed ? "installed" : "not installed") + (FileExists(file) ? "" : ", deleted") + "\n";
        for (const auto& run : installer.runs)
            runs += std::string(run.elevated ? "elevated" : "run") + ": " + run.program + " " + run.parameters + " " +
                    std::to_string(run.timeoutMs) + "\n";
        for (const auto& request : installer.requests)
            runs += "service: " + std::regex_replace(request, std::regex("\r\n"), "<CRLF>") + "\n";
    }
    Fake::ExpectTranscript("driver_package_kinds", Fake::Transcript(platform, runs));
    EXPECT_EQ(unheld, 0);
    EXPECT_EQ(platform.guard.Open(), 0u);
    // Only the file an address's path names tells its kind.
    const char* const urls[][2] = {{"http://dl.msi.test/d/pkg.zip", ".zip"},  {"http://c.test/d/P.EXE?v=1.msi", ".exe"},
                                   {"http://c.test/d/pkg.zip#x.exe", ".zip"}, {"http://c.test/get?f=pkg.zip", ""},
                                   {"http://c.test/d.exe/pkg", ""},           {"http://pkg.exe", ""}};
    for (const auto& url : urls)
        EXPECT_EQ(PackageExtensionOfUrl(url[0]), url[1]) << url[0];
}

// Only the package the cloud announced, as it lies on disk, ever runs; a file already there
// with its digest is not fetched again.
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
    const std::string path = PackagePath(".exe");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        NextRow();
        Installer();
        const std::string onDisk = row.onDisk ? row.onDisk : "";
        if (onDisk == "/")
            MakeDirectory(path), Fake::WriteFile(path + kPathSep + "busy", "x");
#ifndef _WIN32
        else if (onDisk == "/dev/full")
            ASSERT_EQ(symlink("/dev/full", (path + ".tmp").c_str()), 0);
#endif
        else if (row.onDisk)
            Fake::WriteFile(path, onDisk);
        http.ServeJson("/api/v1/drive/query/", std::string(R"({"result":0,"data":{"deviceurl":"http://cloud.test/)") +
                                                   row.name + R"(.exe","filemd5":")" +
                                                   (row.announced ? MD5::Of(kPackage) : "") + "\"}}");
        http.ServeJson(std::string("/") + row.name, row.served);
        Plug(kPhone, false);
        Run();
        const std::string why =
            Fake::LinesWith(platform.Log(), {"had downloaded", "announced", "MD5 is", "could not be moved", "closing"});
        Fake::ExpectTranscript(row.name, DriverFlow(why));
        RemoveFile(path + ".tmp");
        Fake::RemoveTree(path);
    }
}

// Phone A's installer still runs after A left; phone B's install waits for it, is never cut
// short by A's end, and the two installers never run at once.
TEST_F(DriverStage, InstallsOfTwoPhonesNeverShareOrCutEachOther)
{
    const Phone second{"18D1", "4EE7", "SER456"};
    ServeQuery(R"(0,"data":{"deviceurl":"http://cloud.test/d/pkg.exe","filemd5":"$MD5"}})");
    std::atomic<int> running{0}, most{0}, runs{0};
    installer.onRun = [&](const Fake::InstallService::Run&) {
        most = std::max(most.load(), ++running);
        if (++runs == 1) {
            Plug(second, false);  // B comes while A installs; A leaves once B's install waits its turn
            EXPECT_TRUE(Fake::WaitFor([&] { return platform.LogCount("notify ui install this driver....\n") == 2; }));
            Unplug(kPhone);
            Fake::WriteFile(ResultFile(), "fail:gone");
        } else {
            Fake::WriteFile(ResultFile(), "success:bound");
            BindDriver(second);
        }
        --running;
    };
    Plug(kPhone, false);
    Run();
    EXPECT_EQ(runs.load(), 2);
    EXPECT_EQ(most.load(), 1);
    EXPECT_EQ(HostOf("SER123"), "WM_TRY_CONNECT_PHONE WM_CHECKING_ADBMODE WM_CHECKING_ADB_DRIVER WM_DRIVER_INSTALLING "
                                "WM_DRIVER_DOWNLOADING WM_DRIVER_DOWNLOAD_PROGRESS WM_DRIVER_DOWNLOAD_SUCCESS "
                                "WM_DRIVER_INSTALLING WM_DEVICE_OFFLINE");
    EXPECT_EQ(HostOf("SER456"), "WM_TRY_CONNECT_PHONE WM_CHECKING_ADBMODE WM_CHECKING_ADB_DRIVER WM_DRIVER_INSTALLING "
                                "WM_DRIVER_DOWNLOADING WM_DRIVER_DOWNLOAD_SUCCESS WM_DRIVER_INSTALLING "
                                "WM_DRIVER_INSTALLING_SUCCESS WM_CHECKING_ADB_CONNECTING WM_CHECKING_ADB_DEVICE_STATUS "
                                "WM_DEVICE_ONLINE");
}

// The host's install service: every request reaches it, its answer is read without case, and a
// silent, absent or refused service leaves the install to a local run.
TEST_F(DriverStage, HostService)
{
    installer.serviceRunning = true;
    const struct {
        const char* answer;
        bool replies;
        std::string command;
        bool result;
    } rows[] = {
        {"SUCCESS", true, "msiexec\r\n/i \"C:\\p.msi\"", true},
        {"success but", true, "a\r\nb", false},
        {"success", false, "a\r\nb", false},  // silent
        {"success", true, "a\r\nb", true},    // the next one still gets through
        {"success", true, std::string(2047, 'c'), true},
        {"success", true, std::string(2048, 'c'), false},  // refused before the service
    };
    for (const auto& row : rows) {
        installer.answer = row.answer;
        installer.serviceReplies = row.replies;
        EXPECT_EQ(InstallThroughHostService(row.command), row.result);
    }
    ASSERT_EQ(installer.requests.size(), 5u);
    EXPECT_EQ(installer.requests[0], "msiexec\r\n/i \"C:\\p.msi\"");
    EXPECT_EQ(installer.replyWaits, std::vector<uint32_t>(5, kHostServiceReplyTimeoutMs));
    EXPECT_EQ(installer.OpenHandles(), 0u);
}

// Windows' own install: waited out on arrival (five passes) and in step 2 (twenty), the host then
// hears of no download; the driver bound meanwhile, or found at the third presence check, ends
// step 2 without the cloud.
TEST_F(DriverStage, PendingWaits)
{
    const struct {
        const char* name;
        int pendingWaits;
        int boundAt;  // the look for driver interfaces that finds it; 0: none
    } rows[] = {
        {"pending_waited_out", 1000, 0},
        {"pending_driver_found", 1000, 20},
        {"driver_present_at_third_check", 0, 4},
    };
    ServeQuery(R"(1,"data":{"errorCode":1}})");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        NextRow();
        tree.pendingInstallWaits = row.pendingWaits;
        tree.onDriverLookup = [this, row, looks = 0]() mutable {
            if (++looks == row.boundAt)
                BindDriver(kPhone);
        };
        Plug(kPhone, false);
        Run();
        Fake::ExpectTranscript(row.name, Flow());
    }
}

}  // namespace
}  // namespace PipelineTesting
}  // namespace USB
