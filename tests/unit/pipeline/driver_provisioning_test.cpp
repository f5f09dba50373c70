// Step 2 as the host sees it: messages, cloud requests, downloads, installer runs.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "cloud/driver_install.h"
#include "discovery/device_scan.h"
#include "fakes/fake_device_tree.h"
#include "fakes/fake_http.h"
#include "fakes/fake_install_service.h"
#include "fakes/fake_platform.h"
#include "fakes/test_access.h"
#include "pipeline/driver_provisioning.h"
#include "service/USB_Service.h"
#include "support/Usb_MD5.h"
#include "support/sys_utils.h"
#include "support/usb_log.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

std::mutex g_mutex;
std::vector<std::pair<int, std::string>> g_sent;

void USB_CDECL Collect(int32_t id, const char* json)
{
    std::lock_guard<std::mutex> g(g_mutex);
    g_sent.emplace_back(id, json ? json : "");
}

// A device tree whose ADB interface appears at the n-th listing (0: never by itself).
class CountingTree : public USB::Fake::DeviceTree {
public:
    bool ListAdbDriverInterfaces(std::vector<std::wstring>& ids, uint32_t& error) override
    {
        if (++listings == appearAt)
            AddAdbDriverInterface(L"USB\\VID_18D1&PID_4EE2&MI_01\\6&12345678&0&0001");
        return DeviceTree::ListAdbDriverInterfaces(ids, error);
    }
    bool WaitNoPendingInstallEvents(uint32_t timeoutMs) override
    {
        if (beforeWait)
            beforeWait();
        return DeviceTree::WaitNoPendingInstallEvents(timeoutMs);
    }
    int listings = 0;
    int appearAt = 0;
    std::function<void()> beforeWait;
};

const char* const kPackage = "zip-package-bytes";
const char* const kQueryPath = "/api/v1/drive/query/";

class DriverStage : public ::testing::Test {
protected:
    DriverStage()
    {
        {
            std::lock_guard<std::mutex> g(g_mutex);
            g_sent.clear();
        }
        platform.ports.http = &http;
        platform.ports.deviceTree = &tree;
        platform.ports.installService = &installer;
        service.SetCallback(&Collect);
        service.Cloud().m_baseUrl = "http://cloud.test";
        device.m_pDeviceSn = "SER123";
        device.m_vid = "18D1";
        device.m_pid = "4EE2";
        device.m_vidPid = "VID_18D1&PID_4EE2";
        device.m_description = "Pixel";
    }
    ~DriverStage() override { InstallThreadEnded(); }

    // The install thread uses the fakes and may outlast the poll that found the driver.
    static void InstallThreadEnded()
    {
        while (USB::InstallThreadsRunning())
            std::this_thread::yield();
    }

    std::vector<int> Sent()
    {
        std::lock_guard<std::mutex> g(g_mutex);
        std::vector<int> ids;
        for (const auto& m : g_sent)
            if (m.first != USB_WM_DRIVER_DOWNLOAD_PROGRESS)
                ids.push_back(m.first);
        return ids;
    }
    bool WasSent(int id)
    {
        for (int s : Sent())
            if (s == id)
                return true;
        return false;
    }
    bool Logged(const std::string& text) const { return platform.LogText().find(text) != std::string::npos; }
    std::vector<std::string> Paths()
    {
        std::vector<std::string> out;
        for (const auto& r : http.Records())
            out.push_back(r.path);
        return out;
    }
    std::string ResultFile() const { return USB::GetDataDirectory() + USB::kPathSep + "insret.txt"; }
    void ClearSent()
    {
        std::lock_guard<std::mutex> g(g_mutex);
        g_sent.clear();
    }
    size_t Downloads(const std::string& path)
    {
        size_t n = 0;
        for (const auto& r : http.Records())
            n += r.download && r.path == path;
        return n;
    }
    // As the message sink marks a phone that left.
    void Unplug(USB::UsbDevice& phone)
    {
        USB::UsbMutex guard(USB::UsbServiceTestAccess::DeviceLock(service));
        phone.m_stop = true;
    }

    void ServeQuery(const std::string& data) { http.ServeJson(kQueryPath, R"({"result":0,"data":)" + data + "}"); }
    void ServePackage(const std::string& path, const std::string& body = kPackage)
    {
        USB::Fake::HttpAnswer a;
        a.body = body;
        http.Serve(path, a);
    }
    // An installer that reports success and makes Windows list the ADB interface.
    void InstallerBindsDriver(const std::string& result = "success:bound")
    {
        const std::string file = ResultFile();
        installer.onRun = [this, result, file](const USB::Fake::InstallService::Run&) {
            USB::Fake::WriteFile(file, result);
            tree.AddAdbDriverInterface(L"USB\\VID_18D1&PID_4EE2&MI_01\\6&12345678&0&0001");
        };
    }

    USB::Fake::Platform platform;
    USB::Fake::Http http;
    CountingTree tree;
    USB::Fake::InstallService installer;
    USB::UsbService service;
    USB::UsbDevice device;
};

TEST_F(DriverStage, PresentAtTheThirdCheckAsksNoCloud)
{
    tree.appearAt = 3;
    EXPECT_EQ(service.Pipeline().CheckDriver(&device), 0);
    EXPECT_TRUE(device.m_isDriverOk);
    EXPECT_TRUE(http.Records().empty());
    EXPECT_EQ(platform.clock.CountSleeps(200), 2u);
    EXPECT_EQ(Sent(), std::vector<int>{USB_WM_CHECKING_ADB_DRIVER});
    EXPECT_TRUE(Logged("step:2->notify ui checking the driver of the phone?\n"));
}

TEST_F(DriverStage, ZipOnX64RunsTheX64InstallerLocallyWithQuotedPathAndIds)
{
    platform.system.wow64 = 1;
    ServeQuery(R"({"deviceurl":"http://cloud.test/download/driver/pkg.zip","filemd5":")" + USB::MD5::Of(kPackage) +
               R"("})");
    ServePackage("/download/driver/pkg.zip");
    InstallerBindsDriver();
    EXPECT_EQ(service.Pipeline().CheckDriver(&device), 0);
    InstallThreadEnded();

    const std::string package = platform.system.tempFolder + "VID_18D1&PID_4EE2.zip";
    EXPECT_EQ(device.m_driverFile, package);
    EXPECT_EQ(USB::Fake::ReadFile(package), kPackage);
    ASSERT_EQ(installer.runs.size(), 1u);
    EXPECT_EQ(installer.runs[0].program, USB::GetExeDirectory() + "\\zordrvinstx64.exe");
    EXPECT_EQ(installer.runs[0].parameters, "\"" + package + "\" vid=18D1 pid=4EE2");
    EXPECT_EQ(installer.runs[0].timeoutMs, USB::kLocalInstallerTimeoutMs);
    EXPECT_TRUE(Logged("zip.........\n"));
    EXPECT_TRUE(Logged("the return string of the install's program is success:bound\n"));
    EXPECT_FALSE(USB::FileExists(ResultFile()));
    EXPECT_EQ(Sent(), (std::vector<int>{USB_WM_CHECKING_ADB_DRIVER, USB_WM_DRIVER_INSTALLING, USB_WM_DRIVER_DOWNLOADING,
                                        USB_WM_DRIVER_DOWNLOAD_SUCCESS, USB_WM_DRIVER_INSTALLING,
                                        USB_WM_DRIVER_INSTALLING_SUCCESS}));
    std::lock_guard<std::mutex> g(g_mutex);
    std::string lastProgress;
    for (const auto& m : g_sent)
        if (m.first == USB_WM_DRIVER_DOWNLOAD_PROGRESS)
            lastProgress = m.second;
    EXPECT_EQ(lastProgress, "{\"device_desc\":\"Pixel\",\"device_sn\":\"SER123\",\"down_progress\":100}\n");
}

TEST_F(DriverStage, ZipOn32BitWindowsRunsThe32BitInstaller)
{
    platform.system.wow64 = 0;
    device.m_driverFile = "C:\\t\\VID_18D1&PID_4EE2.zip";
    EXPECT_EQ(service.Cloud().InstallDriver(&device), -1);  // no result file
    ASSERT_EQ(installer.runs.size(), 1u);
    EXPECT_EQ(installer.runs[0].program, USB::GetExeDirectory() + "\\zordrvinst.exe");
    EXPECT_TRUE(Logged("the insret.txt is not exist\n"));
}

TEST_F(DriverStage, DevicePackageFailsAndNoGeneralUrlEndsInFailWithoutTheVendorUrl)
{
    ServeQuery(R"({"deviceurl":"http://cloud.test/download/driver/gone.zip","filemd5":"x"})");
    device.m_vidDriverUrl = "http://cloud.test/download/driver/vendor.zip";
    EXPECT_EQ(service.Pipeline().CheckDriver(&device), -1);
    for (const std::string& p : Paths())
        EXPECT_EQ(p.find("vendor.zip"), std::string::npos) << p;
    EXPECT_TRUE(WasSent(USB_WM_DRIVER_DOWNLOAD_FAIL));
    EXPECT_EQ(Sent().back(), USB_WM_DRIVER_INSTALLING_FAIL);
    EXPECT_TRUE(Logged("notify ui driver download fail\n"));
    EXPECT_TRUE(Logged("notify ui check the driver install fail..\n"));
    EXPECT_NE(platform.TrackText().find("DRIVER_CHECK_INSTALL_FAIL"), std::string::npos);
    EXPECT_TRUE(installer.runs.empty());
}

TEST_F(DriverStage, VendorPackageWhenThereIsNoDevicePackage)
{
    http.ServeJson(kQueryPath, R"({"result":1,"data":{"errorCode":20201,"vidDriveURL":)"
                               R"("http://cloud.test/download/driver/vendor.exe","vidDriveMD5":")" +
                                   USB::MD5::Of(kPackage) + R"("}})");
    ServePackage("/download/driver/vendor.exe");
    InstallerBindsDriver();
    EXPECT_EQ(service.Pipeline().CheckDriver(&device), 0);
    EXPECT_EQ(device.m_driverFile, platform.system.tempFolder + "VID_18D1&PID_4EE2.exe");
    EXPECT_EQ(Sent().back(), USB_WM_DRIVER_INSTALLING_SUCCESS);
}

TEST_F(DriverStage, GeneralPackageIsTheLastResort)
{
    ServeQuery(R"({"deviceurl":"http://cloud.test/download/driver/gone.zip","filemd5":"x",)"
               R"("generalDriveURL":"http://cloud.test/download/driver/general.exe","generalDriveMD5":")" +
               USB::MD5::Of(kPackage) + R"("})");
    ServePackage("/download/driver/general.exe");
    InstallerBindsDriver();
    EXPECT_EQ(service.Pipeline().CheckDriver(&device), 0);
    EXPECT_EQ(device.m_driverFile, USB::GetDataDirectory() + "general.exe");
    ASSERT_EQ(installer.runs.size(), 1u);
    EXPECT_EQ(installer.runs[0].program, device.m_driverFile);
    EXPECT_EQ(installer.runs[0].parameters, "");
    EXPECT_EQ(Sent().back(), USB_WM_DRIVER_INSTALLING_SUCCESS);
}

TEST_F(DriverStage, QueryFailureTellsTheHostAndTracksIt)
{
    http.ServeJson(kQueryPath, R"({"result":1,"data":{"errorCode":20299}})");
    EXPECT_EQ(service.Pipeline().CheckDriver(&device), -1);
    EXPECT_EQ(Sent(), (std::vector<int>{USB_WM_CHECKING_ADB_DRIVER, USB_WM_DRIVER_INSTALLING,
                                        USB_WM_DRIVER_DOWNLOAD_ACCESS_URL_FAIL}));
    EXPECT_TRUE(Logged("get driver url fail\n"));
    EXPECT_TRUE(Logged("notify ui driver access url fail\n"));
    EXPECT_NE(platform.TrackText().find("DRIVER_CHECK_URL_FAIL"), std::string::npos);
}

TEST_F(DriverStage, InstallerFailureIsReportedToTheCloud)
{
    ServeQuery(R"({"deviceurl":"http://cloud.test/download/driver/pkg.msi","filemd5":")" + USB::MD5::Of(kPackage) +
               R"("})");
    ServePackage("/download/driver/pkg.msi");
    http.ServeJson("/api/v1/drive/installerror/", R"({"result":0,"data":null})");
    const std::string file = ResultFile();
    installer.onRun = [file](const USB::Fake::InstallService::Run&) { USB::Fake::WriteFile(file, "fail:no device"); };
    EXPECT_EQ(service.Pipeline().CheckDriver(&device), -1);
    ASSERT_EQ(installer.runs.size(), 1u);
    EXPECT_EQ(installer.runs[0].program, "msiexec");
    EXPECT_EQ(installer.runs[0].parameters, "/i \"" + platform.system.tempFolder + "VID_18D1&PID_4EE2.msi\"");
    EXPECT_TRUE(Logged("the driver install fail\n"));
    bool reported = false;
    for (const std::string& p : Paths())
        reported |= p.rfind("/api/v1/drive/installerror/?vid=18D1&pid=4EE2", 0) == 0;
    EXPECT_TRUE(reported);
    EXPECT_EQ(Sent().back(), USB_WM_DRIVER_INSTALLING_FAIL);
    EXPECT_FALSE(USB::FileExists(device.m_driverFile));
}

// Package kinds: only the package the cloud announced, whole and as it lies on disk, ever runs.
TEST_F(DriverStage, OnlyTheAnnouncedPackageEverRuns)
{
    using Answer = USB::Fake::HttpAnswer;
    const std::string announced = USB::MD5::Of(kPackage);
    struct Row {
        const char* what;
        std::function<void(Answer&, const std::string& file)> arrange;
        std::string md5;
        size_t downloads;
        bool runs;
    };
    const std::vector<Row> rows = {
        {"announced package on disk", [](Answer&, const std::string& f) { USB::Fake::WriteFile(f, kPackage); },
         announced, 0, true},
        {"other bytes on disk", [](Answer&, const std::string& f) { USB::Fake::WriteFile(f, "stale"); }, announced, 1,
         true},
        {"no digest announced", [](Answer&, const std::string& f) { USB::Fake::WriteFile(f, kPackage); }, "", 1, false},
        {"cut short", [](Answer& a, const std::string&) { a.closeAfter = 5; }, announced, 1, false},
        {"wrong digest", [](Answer& a, const std::string&) { a.body = "zip-package-bytez"; }, announced, 1, false},
        {"status 500", [](Answer& a, const std::string&) { a.status = "HTTP/1.1 500 Internal Server Error"; },
         announced, 1, false},
        {"cannot be moved into place", [](Answer&, const std::string& f) {
             USB::MakeDirectory(f);
             USB::Fake::WriteFile(f + USB::kPathSep + "busy", "x");
         }, announced, 1, false},
#ifndef _WIN32
        {"close fails (disk full)", [](Answer&, const std::string& f) {
             ASSERT_EQ(symlink("/dev/full", (f + ".tmp").c_str()), 0);
         }, announced, 1, false},
#endif
    };
    std::string ran;
    installer.onRun = [&ran, this](const USB::Fake::InstallService::Run& run) {
        ran = USB::Fake::ReadFile(run.program);
        USB::Fake::WriteFile(ResultFile(), "success:bound");
        tree.AddAdbDriverInterface(L"USB\\VID_18D1&PID_4EE2&MI_01\\6&12345678&0&0001");
    };
    int index = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        tree.Clear();
        device.m_isDriverOk = false;
        installer.runs.clear();
        ran.clear();
        ClearSent();
        const std::string path = "/download/driver/pkg" + std::to_string(++index) + ".exe";
        device.m_driverFile = platform.root + USB::kPathSep + "pkg" + std::to_string(index) + ".exe";
        USB::Fake::HttpAnswer answer;
        answer.body = kPackage;
        row.arrange(answer, device.m_driverFile);
        http.Serve(path, answer);
        const int result = service.Pipeline().DownloadAndInstallDriver(&device, "http://cloud.test" + path, row.md5, true);
        InstallThreadEnded();
        EXPECT_EQ(result, row.runs ? 0 : -1);
        EXPECT_EQ(Downloads(path), row.downloads);
        EXPECT_EQ(installer.runs.size(), row.runs ? 1u : 0u);
        EXPECT_EQ(WasSent(USB_WM_DRIVER_DOWNLOAD_SUCCESS), row.runs);
        EXPECT_EQ(WasSent(USB_WM_DRIVER_DOWNLOAD_FAIL), !row.runs);
        if (row.runs)
            EXPECT_EQ(ran, kPackage);
    }
    EXPECT_TRUE(Logged("this driver had downloaded\n"));
    EXPECT_TRUE(Logged("is not the announced one, it is downloaded again\n"));
}

TEST_F(DriverStage, UnknownPackageTypeIsNotInstalled)
{
    device.m_driverFile = platform.system.tempFolder + "VID_18D1&PID_4EE2";
    device.m_isDriverOk = true;
    EXPECT_EQ(service.Cloud().InstallDriver(&device), -1);
    EXPECT_FALSE(device.m_isDriverOk);
    EXPECT_TRUE(Logged("install fail\n"));
    EXPECT_TRUE(installer.runs.empty());
}

TEST_F(DriverStage, UnplugDuringTheInstallPollEndsWithoutSuccess)
{
    ServeQuery(R"({"deviceurl":"http://cloud.test/download/driver/pkg.exe","filemd5":")" + USB::MD5::Of(kPackage) +
               R"(","generalDriveURL":"http://cloud.test/download/driver/general.exe"})");
    ServePackage("/download/driver/pkg.exe");
    USB::UsbDevice* record = &device;
    USB::UsbCLock* lock = &USB::UsbServiceTestAccess::DeviceLock(service);
    installer.onRun = [record, lock](const USB::Fake::InstallService::Run&) {
        auto stopped = [record, lock] {
            USB::UsbMutex guard(*lock);
            return static_cast<bool>(record->m_stop);
        };
        {
            USB::UsbMutex guard(*lock);  // as the message sink marks a phone that left
            record->m_stop = true;
        }
        // Hold the installer until the poll has seen the phone leave.
        for (long i = 0; i < 200000000L && stopped(); ++i)
            std::this_thread::yield();
    };
    EXPECT_EQ(service.Pipeline().CheckDriver(&device), -1);
    EXPECT_FALSE(WasSent(USB_WM_DRIVER_INSTALLING_SUCCESS));
    EXPECT_FALSE(WasSent(USB_WM_DRIVER_INSTALLING_FAIL));
    EXPECT_TRUE(Logged("this device had been pluged out\n"));
    EXPECT_EQ(installer.runs.size(), 1u);  // the general package is not tried for a phone that left
    EXPECT_FALSE(device.m_stop);
}

// A phone that leaves while its package downloads gets no installer and no failure, whether
// the host hears of the download (progress) or not (Windows was installing at first).
TEST_F(DriverStage, UnplugDuringTheDownloadEndsQuietly)
{
    for (const bool windowsWasBusy : {false, true}) {
        SCOPED_TRACE(windowsWasBusy ? "without progress" : "with progress");
        ClearSent();
        tree.pendingInstallWaits = windowsWasBusy ? 1 : 0;
        ServeQuery(R"({"deviceurl":"http://cloud.test/download/driver/pkg.exe","filemd5":")" +
                   USB::MD5::Of(kPackage) + R"(","generalDriveURL":"http://cloud.test/download/driver/general.exe",)"
                   R"("generalDriveMD5":")" + USB::MD5::Of(kPackage) + R"("})");
        USB::Fake::HttpAnswer answer;
        answer.body = std::string(50000, 'p');
        answer.maxChunk = 1000;
        USB::UsbDevice* phone = &device;
        answer.onRead = [this, phone] { Unplug(*phone); };
        http.Serve("/download/driver/pkg.exe", answer);
        ServePackage("/download/driver/general.exe");
        EXPECT_EQ(service.Pipeline().CheckDriver(&device), -1);
        EXPECT_TRUE(installer.runs.empty());
        EXPECT_FALSE(WasSent(USB_WM_DRIVER_INSTALLING_FAIL));
        EXPECT_FALSE(WasSent(USB_WM_DRIVER_DOWNLOAD_FAIL));
        EXPECT_EQ(Downloads("/download/driver/general.exe"), 0u);
        EXPECT_FALSE(device.m_stop);
        EXPECT_LT(http.reads, 50u);  // the download itself stopped
        http.reads = 0;
    }
    EXPECT_EQ(platform.TrackText().find("DRIVER_CHECK_INSTALL_FAIL"), std::string::npos);
}

TEST_F(DriverStage, UnplugDuringThePendingWaitAfterTheDownloadEndsQuietly)
{
    ServeQuery(R"({"deviceurl":"http://cloud.test/download/driver/pkg.exe","filemd5":")" + USB::MD5::Of(kPackage) +
               R"(","generalDriveURL":"http://cloud.test/download/driver/general.exe","generalDriveMD5":")" +
               USB::MD5::Of(kPackage) + R"("})");
    ServePackage("/download/driver/pkg.exe");
    ServePackage("/download/driver/general.exe");
    const std::string package = platform.system.tempFolder + "VID_18D1&PID_4EE2.exe";
    // Windows starts its own install once the package is on disk; the phone leaves meanwhile.
    bool unplugged = false;
    tree.beforeWait = [&] {
        if (unplugged || !USB::FileExists(package))
            return;
        unplugged = true;
        tree.pendingInstallWaits = 1000;
        Unplug(device);
    };
    EXPECT_EQ(service.Pipeline().CheckDriver(&device), -1);
    EXPECT_TRUE(unplugged);
    EXPECT_TRUE(WasSent(USB_WM_DRIVER_DOWNLOAD_SUCCESS));
    EXPECT_EQ(Sent().back(), USB_WM_WAIT_DRIVER_INSTALL);
    EXPECT_EQ(Downloads("/download/driver/general.exe"), 0u);
    EXPECT_TRUE(installer.runs.empty());
    EXPECT_FALSE(device.m_stop);
    EXPECT_EQ(platform.TrackText().find("DRIVER_CHECK_INSTALL_FAIL"), std::string::npos);
}

// Phone A's installer still runs after A left; phone B's install waits for it, is never cut
// short by A's end, and the two installers never run at once.
TEST_F(DriverStage, InstallsOfTwoPhonesNeverShareOrCutEachOther)
{
    USB::UsbDevice second;
    second.m_pDeviceSn = "SER456";
    second.m_vid = "18D1";
    second.m_pid = "4EE2";
    second.m_vidPid = "VID_18D1&PID_4EE2";
    device.m_driverFile = second.m_driverFile = platform.root + USB::kPathSep + "pkg.exe";
    USB::Fake::WriteFile(device.m_driverFile, kPackage);

    std::atomic<int> running{0}, most{0}, runs{0};
    std::atomic<bool> releaseFirst{false};
    const std::string result = ResultFile();
    installer.onRun = [&](const USB::Fake::InstallService::Run&) {
        most = std::max(most.load(), ++running);
        if (++runs == 1) {
            Unplug(device);  // A leaves; its installer goes on
            while (!releaseFirst)
                std::this_thread::yield();
            USB::Fake::WriteFile(result, "fail:gone");
        } else {
            USB::Fake::WriteFile(result, "success:bound");
            tree.AddAdbDriverInterface(L"USB\\VID_18D1&PID_4EE2&MI_01\\6&12345678&0&0002");
        }
        --running;
    };
    EXPECT_NE(service.Pipeline().DownloadAndInstallDriver(&device, "http://cloud.test/x.exe", USB::MD5::Of(kPackage), false), 0);
    // A's installer ends only once B's install thread is waiting for its turn.
    std::thread release([&] {
        while (USB::InstallThreadsRunning() < 2)
            std::this_thread::yield();
        releaseFirst = true;
    });
    EXPECT_EQ(service.Pipeline().DownloadAndInstallDriver(&second, "http://cloud.test/x.exe", USB::MD5::Of(kPackage), false), 0);
    release.join();
    InstallThreadEnded();
    EXPECT_EQ(runs.load(), 2);
    EXPECT_EQ(most.load(), 1);
    EXPECT_TRUE(second.m_isDriverOk);
    EXPECT_TRUE(Logged("the return string of the install's program is fail:gone\n"));
    EXPECT_TRUE(Logged("the return string of the install's program is success:bound\n"));
}

TEST_F(DriverStage, InstallerThatNeedsElevationIsStartedThroughTheShell)
{
    struct Row {
        uint32_t plainError, elevatedError;
        std::vector<bool> launches;  // elevated or not, in order
        const char* logged;
        int result;
    };
    const std::vector<Row> rows = {
        {0, 0, {false}, "the installer was started as a plain process\n", 0},
        {740, 0, {false, true}, "the installer was started elevated through the shell\n", 0},
        {740, 1223, {false, true}, "could not be started elevated through the shell, error 1223\n", -1},
        {2, 0, {false}, "could not be started as a plain process, error 2\n", -1},
    };
    device.m_driverFile = platform.root + USB::kPathSep + "pkg.exe";
    for (const Row& row : rows) {
        SCOPED_TRACE(row.logged);
        installer.runs.clear();
        installer.plainError = row.plainError;
        installer.elevatedError = row.elevatedError;
        InstallerBindsDriver();
        const int result = service.Cloud().InstallDriver(&device);
        std::vector<bool> launches;
        for (const auto& run : installer.runs) {
            launches.push_back(run.elevated);
            EXPECT_EQ(run.program, device.m_driverFile);
            EXPECT_EQ(run.timeoutMs, USB::kLocalInstallerTimeoutMs);
        }
        EXPECT_EQ(launches, row.launches);
        EXPECT_TRUE(Logged(row.logged));
        EXPECT_EQ(result, row.result);
    }
    EXPECT_TRUE(Logged("the installer needs elevation, starting it through the shell\n"));
}

// ---- the host's driver-install service --------------------------------------------------

TEST_F(DriverStage, HostServiceInstallsAndEveryRequestReachesIt)
{
    installer.serviceRunning = true;
    EXPECT_EQ(USB::InstallThroughHostService("C:\\a\\zordrvinstx64.exe\r\n\"C:\\p.zip\" vid=18D1 pid=4EE2"), 1);
    EXPECT_EQ(USB::InstallThroughHostService("msiexec\r\n/i \"C:\\p.msi\""), 1);
    ASSERT_EQ(installer.requests.size(), 2u);
    EXPECT_EQ(installer.requests[0], L"C:\\a\\zordrvinstx64.exe\r\n\"C:\\p.zip\" vid=18D1 pid=4EE2");
    EXPECT_EQ(installer.requests[1], L"msiexec\r\n/i \"C:\\p.msi\"");
    EXPECT_EQ(installer.replyWaits,
              (std::vector<uint32_t>{USB::kHostServiceReplyTimeoutMs, USB::kHostServiceReplyTimeoutMs}));
    EXPECT_EQ(installer.OpenHandles(), 0);
}

TEST_F(DriverStage, HostServiceAnswersAreComparedWithoutCase)
{
    installer.serviceRunning = true;
    installer.answer = L"SUCCESS";
    EXPECT_EQ(USB::InstallThroughHostService("a\r\nb"), 1);
    installer.answer = L"success but";
    EXPECT_EQ(USB::InstallThroughHostService("a\r\nb"), 0);
    installer.answer = L"fail";
    EXPECT_EQ(USB::InstallThroughHostService("a\r\nb"), 0);
}

TEST_F(DriverStage, SilentOrAbsentServiceFallsBackToTheLocalRun)
{
    device.m_driverFile = platform.system.tempFolder + "pkg.exe";
    InstallerBindsDriver();
    EXPECT_EQ(service.Cloud().InstallDriver(&device), 0);  // no service at all
    EXPECT_EQ(installer.runs.size(), 1u);

    installer.serviceRunning = true;
    installer.serviceReplies = false;
    EXPECT_EQ(USB::InstallThroughHostService("a\r\nb"), 0);
    EXPECT_TRUE(Logged("the install service did not answer in 300000 ms\n"));
    EXPECT_EQ(installer.OpenHandles(), 0);
    installer.serviceReplies = true;
    EXPECT_EQ(USB::InstallThroughHostService("a\r\nb"), 1);  // the next one still gets through
}

TEST_F(DriverStage, OverlongCommandIsRefusedBeforeTheService)
{
    installer.serviceRunning = true;
    EXPECT_EQ(USB::InstallThroughHostService(std::string(2047, 'c')), 1);
    EXPECT_EQ(USB::InstallThroughHostService(std::string(2048, 'c')), 0);
    ASSERT_EQ(installer.requests.size(), 1u);
    EXPECT_EQ(installer.requests[0].size(), 2047u);
    EXPECT_TRUE(Logged("the install command is too long for the service, 2048 units\n"));
}

TEST_F(DriverStage, HostServiceInstallSkipsTheLocalRun)
{
    installer.serviceRunning = true;
    device.m_driverFile = "C:\\t\\VID_18D1&PID_4EE2.zip";
    platform.system.wow64 = 1;
    EXPECT_EQ(service.Cloud().InstallDriver(&device), 0);
    EXPECT_TRUE(installer.runs.empty());
    EXPECT_TRUE(Logged("the driver installed by the parvello_helper.exe\n"));
    ASSERT_EQ(installer.requests.size(), 1u);
    EXPECT_EQ(installer.requests[0], USB::NarrowToWide(USB::GetExeDirectory()) +
                                         L"\\zordrvinstx64.exe\r\n\"C:\\t\\VID_18D1&PID_4EE2.zip\" vid=18D1 pid=4EE2");
}

// ---- Windows' own installation ---------------------------------------------------------

TEST_F(DriverStage, NothingPendingIsMinusTwo)
{
    EXPECT_EQ(service.Pipeline().WaitForPendingDriverInstall(&device, 20), -2);
    EXPECT_TRUE(Sent().empty());
}

TEST_F(DriverStage, PendingInstallIsWaitedForAtMostCountPlusOnePasses)
{
    tree.pendingInstallWaits = 1000;
    EXPECT_EQ(service.Pipeline().WaitForPendingDriverInstall(&device, 3), 0);
    const std::string log = platform.LogText();
    size_t passes = 0;
    for (size_t at = log.find("wait windows install the driver\n"); at != std::string::npos;
         at = log.find("wait windows install the driver\n", at + 1))
        ++passes;
    EXPECT_EQ(passes, 4u);
    EXPECT_EQ(platform.clock.CountSleeps(50), 4u);
    std::lock_guard<std::mutex> g(g_mutex);
    ASSERT_FALSE(g_sent.empty());
    EXPECT_EQ(g_sent[0].first, USB_WM_WAIT_DRIVER_INSTALL);
    EXPECT_EQ(g_sent[0].second, "{\"device_sn\":\"SER123\"}\n");
}

TEST_F(DriverStage, WindowsInstallEndingSkipsTheInstallingMessage)
{
    tree.pendingInstallWaits = 1;
    http.ServeJson(kQueryPath, R"({"result":1,"data":{"errorCode":1}})");
    EXPECT_EQ(service.Pipeline().CheckDriver(&device), -1);
    EXPECT_EQ(Sent(), (std::vector<int>{USB_WM_CHECKING_ADB_DRIVER, USB_WM_WAIT_DRIVER_INSTALL,
                                        USB_WM_DRIVER_DOWNLOAD_ACCESS_URL_FAIL}));
    EXPECT_TRUE(Logged("windows install the driver successfully\n"));
}

TEST_F(DriverStage, UnplugDuringThePendingWaitEndsQuietly)
{
    tree.pendingInstallWaits = 1000;
    device.m_stop = true;
    EXPECT_EQ(service.Pipeline().CheckDriver(&device), -1);
    EXPECT_EQ(Sent(), (std::vector<int>{USB_WM_CHECKING_ADB_DRIVER, USB_WM_WAIT_DRIVER_INSTALL}));
    EXPECT_TRUE(Logged("this device had been pluged out\n"));
    EXPECT_FALSE(device.m_stop);
    EXPECT_TRUE(http.Records().empty());
}

TEST_F(DriverStage, WindowsDriverWaitGivesUpAfterFivePasses)
{
    tree.pendingInstallWaits = 1000;
    USB::WaitForWindowsDriverInstall("VID_18D1&PID_4EE2");
    EXPECT_TRUE(Logged("notify ui the window system install the driver.........\n"));
    EXPECT_TRUE(Logged("wait windows install the driver 4\n"));
    EXPECT_FALSE(Logged("wait windows install the driver 5\n"));
    EXPECT_TRUE(Sent().empty());
}

TEST(DriverHelpers, PackageExtensionsInOrder)
{
    EXPECT_EQ(USB::GetPackageExtension("http://h/a.msi?x.exe"), ".msi");
    EXPECT_EQ(USB::GetPackageExtension("http://h/a.exe.zip"), ".exe");
    EXPECT_EQ(USB::GetPackageExtension("http://h/a.zip"), ".zip");
    EXPECT_EQ(USB::GetPackageExtension("http://h/a.ZIP"), "");
    USB::Fake::Platform platform;
    platform.system.tempFolder = "C:\\Temp\\";
    EXPECT_EQ(USB::GetTempDirectory(), "C:\\Temp\\");
}

}  // namespace
