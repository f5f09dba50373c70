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

#include "fakes/device_scene.h"
#include "fakes/gate.h"
#include "service/service.h"
#include "support/sys_utils.h"
#include "support/usb_log.h"
#include "usbhelper.h"

namespace {

using namespace USB;
using Fake::WaitFor;

std::vector<int> g_firstIds, g_secondIds;
std::vector<std::string> g_relayed;
int g_relayInit = -1, g_relayExits = 0;

TEST(Exports, StartStopRestartAndTheFirstCallbackStays)
{
    Fake::Platform platform;
    EXPECT_EQ(IUSB_stop(), -1);  // not started
    IUSB_SendMessage("{\"action\":\"NO_SUCH_ACTION\"}");
    IUSB_SendMessage(nullptr);  // refused, nothing queued
    EXPECT_EQ(platform.LogCount("IUSB_SendMessage refused: null text\n"), 1u);
    IUSB_start([](int32_t id, const char*) { g_firstIds.push_back(id); });
    IUSB_start([](int32_t id, const char*) { g_secondIds.push_back(id); });
    // Sent before the start, handled after it.
    EXPECT_TRUE(WaitFor([&] { return platform.LogCount("]: {\"action\":\"NO_SUCH_ACTION\"}\n") == 1; }));
    TheService().SendToUi(USB_WM_DEVICE_ONLINE, "{}\n");
    EXPECT_EQ(IUSB_stop(), 0);
    EXPECT_EQ(IUSB_stop(), -1);
    IUSB_start(nullptr);
    EXPECT_EQ(IUSB_stop(), 0);  // each stop waits for its start's init job
    EXPECT_EQ(g_firstIds, std::vector<int>{USB_WM_DEVICE_ONLINE});
    EXPECT_TRUE(g_secondIds.empty());
    EXPECT_EQ(platform.system.socketStartups - platform.system.socketCleanups, 0);
}

TEST(Exports, TheLogRelayBesideTheHostEndsWithTheStopAndALeftoverOneIsNeverUsed)
{
    Fake::Platform platform;
    LogRelay leftover;  // entry points of an earlier run
    leftover.sendMsg = [](const char* text) { g_relayed.push_back(text); };
    leftover.dllExit = [] { ++g_relayExits; };
    SetLogRelay(leftover);
    IUSB_start(nullptr);
    WriteTrackLine("dmfail-->", true);
    EXPECT_EQ(IUSB_stop(), 0);
    EXPECT_TRUE(g_relayed.empty() && g_relayExits == 0);

    const std::string relayPath = GetExeDirectory() + "LogRelay.dll";
    platform.library.libraries[relayPath] = {
        {"dllInit", reinterpret_cast<void*>(+[](int argument) { g_relayInit = argument; })},
        {"sendMsg", reinterpret_cast<void*>(leftover.sendMsg)},
        {"dllExit", reinterpret_cast<void*>(leftover.dllExit)},
    };
    IUSB_start(nullptr);
    EXPECT_EQ(g_relayInit, 0);
    WriteTrackLine("checkadbdebug-->dmfail-->", true);
    EXPECT_EQ(IUSB_stop(), 0);
    EXPECT_EQ(g_relayExits, 1);
    WriteTrackLine("late-->", true);  // a dispatch that outlived the stop: the relay has ended
    EXPECT_EQ(g_relayed, std::vector<std::string>{"checkadbdebug-->dmfail-->"});
    // Asked for by its full path only, never by a search that takes the current folder; system
    // libraries from the system folder, or not at all.
    EXPECT_EQ(std::count(platform.library.loads.begin(), platform.library.loads.end(), relayPath), 2);
    EXPECT_EQ(std::count(platform.library.loads.begin(), platform.library.loads.end(), "LogRelay.dll"), 0);
    platform.library.loads.clear();
    LoadSystemLibrary("sensapi.dll");
    platform.system.systemFolder.clear();
    EXPECT_EQ(LoadSystemLibrary("sensapi.dll"), nullptr);
    EXPECT_EQ(platform.library.loads,
              std::vector<std::string>{platform.root + kPathSep + "system32" + kPathSep + "sensapi.dll"});
    EXPECT_EQ(platform.TrackText(), "dmfail-->\ncheckadbdebug-->dmfail-->\nlate-->\n");
}

// Loading the library (static construction, under the loader lock on Windows) reaches no port:
// the service is built by the first export.
bool g_portsUsedAtLoad = false;
struct LoadProbe : ::testing::Environment {
    void SetUp() override { g_portsUsedAtLoad = Fake::DefaultPortsMade(); }
};
::testing::Environment* const g_loadProbe = ::testing::AddGlobalTestEnvironment(new LoadProbe);

TEST(Exports, LoadingTouchesNoPort)
{
    EXPECT_FALSE(g_portsUsedAtLoad);
}

// The host's callback calls back into the library while another host thread stops it: the stop
// returns, nothing deadlocks, and the library starts again.
std::atomic<int> g_callbacksEntered{0}, g_callbacksLeft{0};
std::atomic<int32_t> g_selfStop{1};
void USB_CDECL CallingBack(int32_t id, const char*)
{
    if (id != USB_WM_TRY_CONNECT_PHONE)
        return;
    ++g_callbacksEntered;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the host thread enters IUSB_stop
    IUSB_SendMessage("{\"action\":\"FROM_CALLBACK\"}");
    IUSB_isPhone("\\\\?\\USB#VID_1234&PID_5678#X#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
    IUSB_hasPhone();
    ++g_callbacksLeft;
}
// A phone plugged before the start: the start-up scan takes it up, and the host hears of it.
void PlugBeforeStart(Fake::Scene& scene, const std::string& serial)
{
    scene.tree.Clear();
    scene.tree.AddPhone("18D1", "4EE2", serial);
}

TEST(Exports, StopWhileTheCallbackCallsBackInReturnsAndStartsAgain)
{
    Fake::Scene scene;
    scene.WriteShippedWhitelist(Fake::FileOf(Fake::Entry("18D1", "4EE2", "Nexus 5", "yes")));
    constexpr int kCycles = 3;
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        PlugBeforeStart(scene, "CALLBACK" + std::to_string(cycle));
        IUSB_start(&CallingBack);
        ASSERT_TRUE(WaitFor([&] { return g_callbacksEntered > cycle; }));
        // A deadlock would keep the stopping thread forever: watch it from here.
        auto stopped = std::make_shared<std::promise<int32_t>>();
        std::future<int32_t> result = stopped->get_future();
        std::thread([stopped] { stopped->set_value(IUSB_stop()); }).detach();
        ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "cycle " << cycle;
        EXPECT_EQ(result.get(), 0);
    }
    EXPECT_TRUE(WaitFor([] { return g_callbacksLeft == kCycles; }));

    // The callback may also stop the library itself: it does not wait for its own loop.
    PlugBeforeStart(scene, "SELFSTOP");
    IUSB_start([](int32_t id, const char*) {
        if (id == USB_WM_TRY_CONNECT_PHONE)
            g_selfStop = IUSB_stop();
    });
    EXPECT_TRUE(WaitFor([] { return g_selfStop == 0; }));
    EXPECT_EQ(IUSB_stop(), -1);
    // The next start runs once the stopped loop has finished its turn; its stop waits for both.
    IUSB_start(nullptr);
    EXPECT_EQ(IUSB_stop(), 0);
}

}  // namespace
