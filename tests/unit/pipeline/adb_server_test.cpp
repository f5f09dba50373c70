// The ADB server: starting or borrowing it, finding who owns port 5037, and what the host is
// asked to do when a present phone is missing from the listing.
#include "pipeline/adb_loader.h"
#include "pipeline/adb_server.h"
#include "support/sys_utils.h"
#include "pipeline_fixture.h"

namespace USB {
namespace PipelineTesting {
namespace {

using AdbServerTest = PipelineTest;

// ---- starting and borrowing ----------------------------------------------------------

TEST_F(AdbServerTest, RunningServerThatAnswersIsBorrowedUntilWeStartOurOwn)
{
    bridge.StartResults({-1, -1, 0});
    processes.connectResult = ConnectResult::Connected;
    service.StartAdbServer();
    EXPECT_TRUE(service.Pipeline().BorrowedAdbServer());
    EXPECT_EQ(bridge.inits, 1);
    EXPECT_EQ(processes.connectTimeouts, std::vector<uint32_t>{2000});
    std::string log = WithoutCr(platform.LogText());
    EXPECT_NE(log.find("the adb server had been started.\n"), std::string::npos);
    EXPECT_NE(log.find("connect 5037 success\n"), std::string::npos);
    EXPECT_NE(log.find("borrow the thirdy party adbserver\n"), std::string::npos);

    service.Pipeline().RefreshAdbDevices();  // still the other program's server: the flag stays
    EXPECT_TRUE(service.Pipeline().BorrowedAdbServer());
    EXPECT_EQ(processes.connectTimeouts.size(), 1u);  // no probe before a listing

    service.Pipeline().RefreshAdbDevices();  // that server went away and the bridge started ours
    EXPECT_FALSE(service.Pipeline().BorrowedAdbServer());
    log = WithoutCr(platform.LogText());
    ASSERT_NE(log.find("use the self adbserver\n"), std::string::npos);
    EXPECT_LT(log.find("use the self adbserver\n"), log.rfind("the adb server starts successfully\n"));
}

TEST_F(AdbServerTest, RunningServerThatDoesNotAnswerIsFatal)
{
    PipelineTestAccess::SetBorrowedAdbServer(service.Pipeline(), true);
    bridge.StartResults({-1});
    processes.connectResult = ConnectResult::Failed;
    service.StartAdbServer();
    EXPECT_FALSE(service.Pipeline().BorrowedAdbServer());
    const std::string log = WithoutCr(platform.LogText());
    EXPECT_NE(log.find("connect 5037 failed\n"), std::string::npos);
    EXPECT_NE(log.find("FATAL error............................\n"), std::string::npos);
}

TEST_F(AdbServerTest, ServerStartedByUsIsOurOwn)
{
    PipelineTestAccess::SetBorrowedAdbServer(service.Pipeline(), true);
    bridge.StartResults({0});
    service.StartAdbServer();
    EXPECT_FALSE(service.Pipeline().BorrowedAdbServer());
    EXPECT_NE(WithoutCr(platform.LogText()).find("the adb server starts successfully\n"), std::string::npos);
    EXPECT_TRUE(processes.connectTimeouts.empty());
}

TEST_F(AdbServerTest, ServerTheBridgeCouldNotStartIsNotReportedAsStarted)
{
    bridge.StartResults({-2});
    service.StartAdbServer();
    EXPECT_FALSE(service.Pipeline().BorrowedAdbServer());
    const std::string log = WithoutCr(platform.LogText());
    EXPECT_EQ(log.find("the adb server starts successfully\n"), std::string::npos);
    EXPECT_NE(log.find("the adb server could not be started: -2\n"), std::string::npos);
}

TEST(AdbServerWithoutInit, MissingInitEntryStopsTheStart)
{
    Fake::Platform platform;
    Fake::AdbBridge bridge(platform.library, /*withInit=*/false);
    UsbService service;
    service.StartAdbServer();
    EXPECT_EQ(bridge.starts, 0);
    EXPECT_NE(WithoutCr(platform.LogText()).find("_IUSB_Init error............................\n"), std::string::npos);
}

TEST(AdbServerWithoutInit, MissingLibraryIsLoggedOnceAndLoadedOnce)
{
    Fake::Platform platform;
    Fake::ReloadAdb();
    UsbService service;
    service.StartAdbServer();
    service.Pipeline().RefreshAdbDevices();
    // Beside the host first, then by name; not again by either call.
    EXPECT_EQ(platform.library.loads, (std::vector<std::string>{GetExeDirectory() + "AdbBridge.dll", "AdbBridge.dll"}));
    EXPECT_NE(WithoutCr(platform.LogText()).find("_IUSB_Init error............................\n"), std::string::npos);
}

// ---- the port owner -------------------------------------------------------------------

TEST_F(AdbServerTest, PortOwnerIsTheLastListeningRowOnTheAdbPort)
{
    processes.Listen(10);
    processes.Listen(11, 5037, 5);  // an established connection to the server
    processes.Listen(12, 5038);
    processes.Listen(13);
    EXPECT_EQ(FindAdbServerPid(), 13u);
    processes.tcpRows.clear();
    processes.Listen(12, 5038);
    EXPECT_EQ(FindAdbServerPid(), 0xFFFFFFFFu);
}

TEST_F(AdbServerTest, UnreadableTcpTableGivesZeroAndADebuggerLine)
{
    processes.tableResult = TcpTableResult::SizeError;
    processes.tableError = 87;
    EXPECT_EQ(FindAdbServerPid(), 0u);
    processes.tableResult = TcpTableResult::AllocError;
    EXPECT_EQ(FindAdbServerPid(), 0u);
    EXPECT_EQ(platform.system.debugOutput,
              (std::vector<std::wstring>{L"GetExtendedTcpTable Error: 87", L"malloc Error!"}));
}

TEST_F(AdbServerTest, ProcessNameComesFromTheImageElseFromTheSnapshot)
{
    processes.Add(40, L"adb.exe");
    processes.Add(41, L"adb64.exe", /*inspectable=*/false);  // e.g. no image access from WOW64
    processes.Add(0, L"[System Process]", /*inspectable=*/false);
    EXPECT_EQ(GetProcessName(40), "adb.exe");
    EXPECT_EQ(GetProcessName(41), "adb64.exe");
    const std::string log = WithoutCr(platform.LogText());
    EXPECT_NE(log.find("szPName is adb.exe, szPath is C:\\Programs\\adb.exe\n"), std::string::npos);
    EXPECT_NE(log.find("szPName is adb64.exe, szPath is \n"), std::string::npos);
    EXPECT_EQ(GetProcessName(0), "");  // the idle process owns no port
    EXPECT_EQ(GetProcessName(42), "");
    EXPECT_EQ(GetProcessName(0xFFFFFFFFu), "");
}

TEST_F(AdbServerTest, KillByNameEndsOnlyTheFirstExactMatch)
{
    processes.Add(5, L"adb.exe");
    processes.Add(6, L"adb.exe");
    processes.Add(7, L"ADB.EXE");
    KillProcessByName("ADB.exe");
    EXPECT_TRUE(processes.terminated.empty());
    KillProcessByName("adb.exe");
    // Ended with a code that never reads as "still running" (259).
    EXPECT_EQ(processes.terminated, (std::vector<std::pair<uint32_t, uint32_t>>{{5, 1}}));
    EXPECT_NE(WithoutCr(platform.LogText()).find("dwExitCode is 259, 0\n"), std::string::npos);
    EXPECT_EQ(processes.openHandles, 0);
}

TEST_F(AdbServerTest, KnownOwnerIsEndedByIdAndOnlyIfStillNamedSo)
{
    processes.Add(5, L"Parvello_helper.exe");
    processes.Add(77, L"Parvello_helper.exe");
    processes.Add(80, L"notepad.exe");
    KillAdbServerProcess(80, "Parvello_helper.exe");  // the id now belongs to another program
    EXPECT_TRUE(processes.terminated.empty());
    KillAdbServerProcess(77, "Parvello_helper.exe");
    EXPECT_EQ(processes.terminated, (std::vector<std::pair<uint32_t, uint32_t>>{{77, 1}}));
    KillAdbServerProcess(0, "Parvello_helper.exe");  // owner unknown: first by name
    EXPECT_EQ(processes.terminated.back().first, 5u);
}

TEST_F(AdbServerTest, PrivilegeFailuresArePrintedAndTheProcessIsOpenedAnyway)
{
    processes.Add(9, L"adb.exe");
    struct Case {
        PrivilegeOutcome outcome;
        const char* printed;
    };
    PrivilegeOutcome noToken;
    noToken.tokenOpened = false;
    noToken.tokenError = 5;
    noToken.adjusted = false;
    noToken.adjustError = 6;
    PrivilegeOutcome noLookup;
    noLookup.privilegeFound = false;
    noLookup.lookupError = 1313;
    PrivilegeOutcome notAll;
    notAll.notAllAssigned = true;
    const Case cases[] = {{noToken, "OpenProcessToken error:5AdjustTokenPrivileges error: 6/n"},
                          {noLookup, "LookupPrivilegeValue error: 1313/n"},
                          {notAll, "The token does not have the specified privilege. /n"},
                          {PrivilegeOutcome(), ""}};
    for (const Case& c : cases) {
        processes.privilege = c.outcome;
        testing::internal::CaptureStdout();
        ProcessPort::Handle h = OpenProcessWithDebugPrivilege(9);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed);
        EXPECT_NE(h, nullptr);
        processes.Close(h);
    }
}

// ---- a present phone the server does not list -----------------------------------------

TEST_F(AdbServerTest, NobodyOnThePortAsksForAnOsRestart)
{
    UsbDevice* phone = AddPhone("ABC123");
    EXPECT_EQ(ReportAdbServerOwner(service, service.Pipeline().BorrowedAdbServer(), *phone), -1);
    EXPECT_EQ(ui.Messages(), (std::vector<std::pair<int, std::string>>{
                                 {USB_WM_RESTART_OS, OwnerPayload("ABC123", "Pixel", "os")}}));
    const std::string log = WithoutCr(platform.LogText());
    EXPECT_LT(log.find("this device still exist in the windows system\n"),
              log.find("but we can not find this device in the adbserver\n"));
    EXPECT_NE(log.find("but we can not find this device in the adbserver\n"), std::string::npos);
    EXPECT_NE(log.find("current adbserver pid is -1\n"), std::string::npos);
    EXPECT_NE(log.find("current adbserver name is \n"), std::string::npos);
    EXPECT_NE(log.find("notify ui restart os\n"), std::string::npos);
}

TEST_F(AdbServerTest, OurOwnServerIsToBeRestartedByTheHost)
{
    UsbDevice* phone = AddPhone("ABC123");
    processes.Add(40, L"adb.exe");
    processes.Listen(40);
    EXPECT_EQ(ReportAdbServerOwner(service, service.Pipeline().BorrowedAdbServer(), *phone), -1);
    EXPECT_EQ(ui.Messages(), (std::vector<std::pair<int, std::string>>{
                                 {USB_WM_RESTART_ADBSERVER, OwnerPayload("ABC123", "Pixel", "adb.exe")}}));
    EXPECT_NE(WithoutCr(platform.LogText()).find("notify ui restart adb.exe\n"), std::string::npos);
    EXPECT_TRUE(processes.terminated.empty());
}

TEST_F(AdbServerTest, TableWithoutOwnerIdsAsOnWineAsksForAServerRestart)
{
    UsbDevice* phone = AddPhone("ABC123");
    processes.Listen(0);
    EXPECT_EQ(ReportAdbServerOwner(service, service.Pipeline().BorrowedAdbServer(), *phone), -1);
    EXPECT_EQ(ui.Messages(), (std::vector<std::pair<int, std::string>>{
                                 {USB_WM_RESTART_ADBSERVER, OwnerPayload("ABC123", "Pixel", "")}}));
}

TEST_F(AdbServerTest, ForeignBorrowedServerIsLeftToTheHostToKillWhetherItsImageOpensOrNot)
{
    UsbDevice* phone = AddPhone("ABC123");
    PipelineTestAccess::SetBorrowedAdbServer(service.Pipeline(), true);
    for (const bool inspectable : {true, false}) {
        processes.processes.clear();
        processes.tcpRows.clear();
        ui.Clear();
        processes.Add(50, L"tool_adb.exe", inspectable);
        processes.Listen(50);
        EXPECT_EQ(ReportAdbServerOwner(service, service.Pipeline().BorrowedAdbServer(), *phone), -1);
        EXPECT_EQ(ui.Messages(), (std::vector<std::pair<int, std::string>>{
                                     {USB_WM_KILL_THIRDPARTY_ADBSERVER, OwnerPayload("ABC123", "Pixel", "tool_adb.exe")}}));
    }
    EXPECT_NE(WithoutCr(platform.LogText()).find("notify ui kill this adbserver tool_adb.exe\n"), std::string::npos);
    EXPECT_TRUE(processes.terminated.empty());
}

TEST_F(AdbServerTest, HostHelperOnThePortIsKilledAndStartedAgainHidden)
{
    UsbDevice* phone = AddPhone("ABC123");
    PipelineTestAccess::SetBorrowedAdbServer(service.Pipeline(), true);
    processes.Add(5, L"Parvello_helper.exe");  // another copy, not the port owner
    processes.Add(77, L"Parvello_helper.exe");
    processes.Listen(77);
    EXPECT_EQ(ReportAdbServerOwner(service, service.Pipeline().BorrowedAdbServer(), *phone), 0);
    EXPECT_EQ(processes.terminated, (std::vector<std::pair<uint32_t, uint32_t>>{{77, 1}}));
    EXPECT_EQ(processes.shellOpened, std::vector<std::string>{GetExeDirectory() + "Parvello_helper.exe"});
    EXPECT_TRUE(ui.Messages().empty());
}

TEST_F(AdbServerTest, PhoneGoneFromWindowsIsNotAServerProblem)
{
    // Another phone of the model still shows its ADB driver interface; this one is gone.
    tree.AddPhone(L"18D1", L"4EE7", L"OTHER01", L"Pixel");
    tree.AddAdbDriverInterface(L"USB\\VID_18D1&PID_4EE7&MI_01\\6&12345678&0&0001");
    UsbDevice* phone = AddPhone("ABC123");
    EXPECT_EQ(service.Pipeline().HandleAdbServerException(nullptr), 0);
    EXPECT_EQ(service.Pipeline().HandleAdbServerException(phone), 0);
    EXPECT_NE(WithoutCr(platform.LogText()).find("phone is not exist\n"), std::string::npos);
    EXPECT_TRUE(ui.Messages().empty());
}

// The chain through step 3 with Windows still showing the phone's ADB interface.
class PresentPhoneTest : public AdbServerTest {
protected:
    void SetUp() override { ShowAdbInterface(); }
};

TEST_F(PresentPhoneTest, UnlistedPhoneWithNobodyOnThePortEndsWithOsRestart)
{
    UsbDevice* phone = AddPhone("ABC123");
    bridge.Script({"X1\tdevice\nX2\tdevice\n"});
    service.Pipeline().CheckAdbConnection(phone);
    EXPECT_EQ(ui.Messages(), (std::vector<std::pair<int, std::string>>{
                                 {USB_WM_CHECKING_ADB_CONNECTING, DevicePayload("ABC123", "Pixel", true, false)},
                                 {USB_WM_RESTART_OS, OwnerPayload("ABC123", "Pixel", "os")}}));
    EXPECT_TRUE(platform.TrackText().empty());
}

TEST_F(PresentPhoneTest, UnlistedPhoneBehindTheHelperIsRescannedAfterItsRestart)
{
    Fake::RelayRecorder relay;
    UsbDevice* phone = AddPhone("ABC123");
    PipelineTestAccess::SetBorrowedAdbServer(service.Pipeline(), true);
    bridge.StartResults({-1});  // every listing finds the borrowed server still running
    service.Track().Clear();
    service.Track() += "head&process=checkadb-->";
    processes.Add(77, L"Parvello_helper.exe");
    processes.Listen(77);
    bridge.Script({"X1\tdevice\nX2\tdevice\n"});
    service.Pipeline().CheckAdbConnection(phone);
    EXPECT_EQ(processes.terminated.size(), 1u);
    EXPECT_EQ(processes.shellOpened.size(), 1u);
    EXPECT_EQ(ui.Ids(), (std::vector<int>{USB_WM_CHECKING_ADB_CONNECTING, USB_WM_RESCAN_PHONE_BYADB}));
    EXPECT_EQ(relay.sent, std::vector<std::string>{"head&process=checkadb-->ADB_CHECK_ADBSERVER_EXCEPTION"});
}

// ---- the host's kill command -----------------------------------------------------------

TEST_F(AdbServerTest, KillCommandEndsThePortOwnerThenRetriesThePhone)
{
    AddPhone("ABC123", false);
    processes.Add(5, L"adb.exe");
    processes.Add(40, L"adb.exe");
    processes.Listen(40);
    service.HandleMessage("{\"action\":\"KILL-ADBSERVER\",\"device_sn\":\"ABC123\"}");
    EXPECT_EQ(processes.terminated, (std::vector<std::pair<uint32_t, uint32_t>>{{40, 1}}));
    const std::string log = WithoutCr(platform.LogText());
    EXPECT_LT(log.find("KILL-ADBSERVER........\n"), log.find("current adbserver pid is 40\n"));
    EXPECT_LT(log.find("current adbserver name is adb.exe\n"), log.find("USB_RETRY........\n"));
    EXPECT_EQ(ui.Ids(), std::vector<int>{USB_WM_ADB_OPEN});
}

TEST_F(AdbServerTest, KillCommandWithNobodyOnThePortOnlyRetries)
{
    AddPhone("ABC123", false);
    processes.Add(5, L"adb.exe");
    service.Pipeline().KillAdbServerCommand("ABC123");
    EXPECT_TRUE(processes.terminated.empty());
    EXPECT_EQ(ui.Ids(), std::vector<int>{USB_WM_ADB_OPEN});
}

}  // namespace
}  // namespace PipelineTesting
}  // namespace USB
