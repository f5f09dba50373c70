// What a host sees of the exports before, during and after a run of the service.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fakes/fake_platform.h"
#include "service/USB_Service.h"
#include "support/json_utils.h"
#include "support/sys_utils.h"
#include "support/usb_log.h"
#include "usbhelper.h"

namespace {

using namespace USB;

size_t Count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

std::string PlainLog(const Fake::Platform& platform)
{
    std::string text = platform.LogText();
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

void DrainQueue()
{
    while (!TheService().PopMessage().empty()) {
    }
}

// Waits for the event-loop thread; a bounded number of short real pauses, nothing asserted on time.
bool WaitForEmptyQueue()
{
    for (int i = 0; i < 5000; ++i) {
        if (TheService().QueuedMessages() == 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

// The init thread of each start works through the ports this test installed: let it and the
// threads it starts finish before they go.
void SettleInitThreads(const Fake::Platform& platform, size_t starts)
{
    for (int i = 0; i < 5000 && Count(PlainLog(platform), "]: loading whitelist......\n") < starts; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // The init thread and the whitelist threads it starts are counted while they run.
    for (int i = 0; i < 5000 && TheService().HelperThreadsRunning() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

std::vector<int> g_firstIds, g_secondIds;
void USB_CDECL FirstCallback(int32_t id, const char*) { g_firstIds.push_back(id); }
void USB_CDECL SecondCallback(int32_t id, const char*) { g_secondIds.push_back(id); }

struct RelayCalls {
    int initCalls = 0;
    int initArgument = -1;
    int exitCalls = 0;
    std::vector<std::string> sent;
} g_relay;
void RelayInit(int argument)
{
    ++g_relay.initCalls;
    g_relay.initArgument = argument;
}
void RelaySend(const char* text) { g_relay.sent.push_back(text); }
void RelayExit() { ++g_relay.exitCalls; }

TEST(Exports, StopWithoutStartIsRefused)
{
    Fake::Platform platform;
    EXPECT_EQ(IUSB_stop(), -1);
}

TEST(Exports, StartThenStopThenStopAgain)
{
    Fake::Platform platform;
    IUSB_start(nullptr);
    EXPECT_EQ(IUSB_stop(), 0);
    EXPECT_EQ(IUSB_stop(), -1);
    SettleInitThreads(platform, 1);
    const std::string log = PlainLog(platform);
    EXPECT_EQ(Count(log, "]: usbhelper start...........\n"), 1u) << log;
    EXPECT_GE(Count(log, "]: the usb service thread has exited\n"), 1u) << log;
    EXPECT_EQ(platform.system.socketStartups, 1);
    EXPECT_EQ(platform.system.socketCleanups, 1);
}

TEST(Exports, RestartAfterStopRunsAgain)
{
    Fake::Platform platform;
    IUSB_start(nullptr);
    EXPECT_EQ(IUSB_stop(), 0);
    IUSB_start(nullptr);
    EXPECT_EQ(IUSB_stop(), 0);
    SettleInitThreads(platform, 2);
    EXPECT_EQ(Count(PlainLog(platform), "]: usbhelper start...........\n"), 2u);
}

TEST(Exports, SecondStartKeepsTheFirstCallback)
{
    Fake::Platform platform;
    g_firstIds.clear();
    g_secondIds.clear();
    IUSB_start(&FirstCallback);
    IUSB_start(&SecondCallback);
    TheService().SendToUi(USB_WM_DEVICE_ONLINE, "{}\n");
    EXPECT_EQ(IUSB_stop(), 0);
    SettleInitThreads(platform, 1);
    EXPECT_EQ(g_firstIds, std::vector<int>{USB_WM_DEVICE_ONLINE});
    EXPECT_TRUE(g_secondIds.empty());
    EXPECT_EQ(Count(PlainLog(platform), "]: usbhelper start...........\n"), 1u);
}

TEST(Exports, MessagesSentBeforeStartWaitForTheLoop)
{
    Fake::Platform platform;
    DrainQueue();
    IUSB_SendMessage("{\"action\":\"NO_SUCH_ACTION\"}");
    IUSB_SendMessage("not even json");
    IUSB_SendMessage(nullptr);  // refused, nothing queued
    EXPECT_EQ(TheService().QueuedMessages(), 2u);

    IUSB_start(nullptr);
    EXPECT_TRUE(WaitForEmptyQueue());
    EXPECT_EQ(IUSB_stop(), 0);
    SettleInitThreads(platform, 1);
}

TEST(Exports, LogRelayBesideTheHostEndsWithTheStop)
{
    Fake::Platform platform;
    g_relay = RelayCalls{};
    const std::string relayPath = GetExeDirectory() + "LogRelay.dll";
    platform.library.libraries[relayPath] = {
        {"dllInit", reinterpret_cast<void*>(&RelayInit)},
        {"sendMsg", reinterpret_cast<void*>(&RelaySend)},
        {"dllExit", reinterpret_cast<void*>(&RelayExit)},
    };
    IUSB_start(nullptr);
    // Asked for by its full path only: never by a search that takes the current folder.
    EXPECT_EQ(std::count(platform.library.loads.begin(), platform.library.loads.end(), relayPath), 1);
    EXPECT_EQ(std::count(platform.library.loads.begin(), platform.library.loads.end(), "LogRelay.dll"), 0);
    EXPECT_EQ(g_relay.initCalls, 1);
    EXPECT_EQ(g_relay.initArgument, 0);
    EXPECT_EQ(g_relay.exitCalls, 0);

    WriteTrackLine("checkadbdebug-->dmfail-->", true);
    EXPECT_EQ(g_relay.sent, std::vector<std::string>{"checkadbdebug-->dmfail-->"});

    EXPECT_EQ(IUSB_stop(), 0);
    EXPECT_EQ(g_relay.exitCalls, 1);
    WriteTrackLine("late-->", true);  // a dispatch that outlived the stop: the relay has ended
    EXPECT_EQ(g_relay.sent.size(), 1u);
    SettleInitThreads(platform, 1);
}

TEST(Exports, NoRelayLibraryMeansNoRelayCalls)
{
    Fake::Platform platform;
    g_relay = RelayCalls{};
    // Entry points left over from an earlier run must not be used by this one.
    LogRelay leftover;
    leftover.sendMsg = &RelaySend;
    leftover.dllExit = &RelayExit;
    SetLogRelay(leftover);
    IUSB_start(nullptr);
    WriteTrackLine("dmfail-->", true);
    EXPECT_EQ(IUSB_stop(), 0);
    SettleInitThreads(platform, 1);
    EXPECT_EQ(g_relay.exitCalls, 0);
    EXPECT_TRUE(g_relay.sent.empty());
    EXPECT_EQ(platform.TrackText().substr(0, 9), "dmfail-->");
}

TEST(Exports, SystemLibrariesComeFromTheSystemFolderOnly)
{
    Fake::Platform platform;
    LoadSystemLibrary("sensapi.dll");
    EXPECT_EQ(platform.library.loads, std::vector<std::string>{platform.system.systemFolder + "sensapi.dll"});
    platform.system.systemFolder.clear();  // unknown: nothing is loaded rather than a bare name
    EXPECT_EQ(LoadSystemLibrary("sensapi.dll"), nullptr);
    EXPECT_EQ(platform.library.loads.size(), 1u);
}

// Loading the library (static construction, under the loader lock on Windows) does nothing that
// reaches a port: the service is built by the first export.
bool g_portsUsedAtLoad = false;
struct LoadProbe : ::testing::Environment {
    void SetUp() override { g_portsUsedAtLoad = Fake::DefaultPortsMade(); }
};
::testing::Environment* const g_loadProbe = ::testing::AddGlobalTestEnvironment(new LoadProbe);

TEST(Exports, LoadingTouchesNoPort)
{
    EXPECT_FALSE(g_portsUsedAtLoad);
}

// The host's callback calls back into the library while another host thread stops it: the
// stop returns, nothing deadlocks, and the library starts again.
std::atomic<int> g_callbacksEntered{0};
std::atomic<int> g_callbacksLeft{0};
std::atomic<int32_t> g_selfStop{1};
void USB_CDECL CallingBack(int32_t id, const char*)
{
    if (id != USB_WM_DEVICE_OFFLINE)
        return;
    ++g_callbacksEntered;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the host thread enters IUSB_stop
    IUSB_SendMessage("{\"action\":\"FROM_CALLBACK\"}");
    IUSB_isPhone("\\\\?\\USB#VID_1234&PID_5678#X#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
    IUSB_hasPhone();
    ++g_callbacksLeft;
}

TEST(Exports, StopWhileTheCallbackCallsBackInReturnsAndStartsAgain)
{
    Fake::Platform platform;
    DrainQueue();
    constexpr int kCycles = 3;
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        const std::string serial = "CALLBACK" + std::to_string(cycle);
        UsbDevice* device = new UsbDevice();
        device->m_pDeviceSn = serial;
        device->m_vidPid = "VID_1234&PID_5678";
        ASSERT_EQ(TheService().Devices().Add(std::unique_ptr<USB::UsbDevice>(device)), 0);
        IUSB_start(&CallingBack);
        Json::Value removal(Json::objectValue);
        removal["action"] = "DEVICE_OFFLINE";
        removal["device_info"] = "\\\\?\\USB#VID_1234&PID_5678#" + serial + "#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
        IUSB_SendMessage(WriteJson(removal).c_str());
        for (int i = 0; i < 5000 && g_callbacksEntered <= cycle; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_EQ(g_callbacksEntered, cycle + 1);
        // A deadlock would keep the stopping thread forever: watch it from here.
        auto stopped = std::make_shared<std::promise<int32_t>>();
        std::future<int32_t> result = stopped->get_future();
        std::thread([stopped] { stopped->set_value(IUSB_stop()); }).detach();
        ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "cycle " << cycle;
        EXPECT_EQ(result.get(), 0);
    }
    for (int i = 0; i < 10000 && g_callbacksLeft < kCycles; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(g_callbacksLeft, kCycles);

    // The callback may also stop the library itself: it does not wait for its own loop.
    UsbDevice* device = new UsbDevice();
    device->m_pDeviceSn = "SELFSTOP";
    device->m_vidPid = "VID_1234&PID_5678";
    ASSERT_EQ(TheService().Devices().Add(std::unique_ptr<USB::UsbDevice>(device)), 0);
    IUSB_start([](int32_t id, const char*) {
        if (id == USB_WM_DEVICE_OFFLINE)
            g_selfStop = IUSB_stop();
    });
    Json::Value removal(Json::objectValue);
    removal["action"] = "DEVICE_OFFLINE";
    removal["device_info"] = "\\\\?\\USB#VID_1234&PID_5678#SELFSTOP#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
    IUSB_SendMessage(WriteJson(removal).c_str());
    for (int i = 0; i < 10000 && g_selfStop != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(g_selfStop, 0);
    EXPECT_EQ(IUSB_stop(), -1);
    SettleInitThreads(platform, kCycles + 1);
    DrainQueue();
}

}  // namespace
