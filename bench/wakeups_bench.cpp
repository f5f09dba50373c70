// How often the library's threads wake while sixteen phones wait for the ADB server to list them
// (pauses of a second between listing attempts), and while nothing waits at all: a real clock,
// the fake device tree and bridge, the whole service. Wakeups are the threads' context switches
// (/proc); the goal is at most one a second per waiting phone, and none while idle.
// Prints figures only.
#include <dirent.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "fakes/device_scene.h"
#include "fakes/fake_pipeline.h"
#include "service/service.h"

namespace {

using namespace USB;

class RealClock : public ClockPort {
public:
    void SleepMs(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
    uint64_t NowMs() override
    {
        return static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
                .count());
    }
};

// Context switches of every thread of this process but the calling one.
long Wakeups()
{
    const std::string self = std::to_string(static_cast<long>(gettid()));
    long total = 0;
    DIR* tasks = opendir("/proc/self/task");
    for (dirent* e = tasks ? readdir(tasks) : nullptr; e; e = readdir(tasks)) {
        if (e->d_name[0] == '.' || self == e->d_name)
            continue;
        std::ifstream status(std::string("/proc/self/task/") + e->d_name + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                total += std::stol(line.substr(line.find(':') + 1));
    }
    if (tasks)
        closedir(tasks);
    return total;
}

std::atomic<int> g_connecting{0};
void USB_CDECL Host(int32_t id, const char*)
{
    if (id == USB_WM_CHECKING_ADB_CONNECTING)
        ++g_connecting;
}

double WakeupsPerSecond(int seconds)
{
    const long before = Wakeups();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    return static_cast<double>(Wakeups() - before) / seconds;
}

}  // namespace

int main()
{
    const int phones = 16;
    const int seconds = 5;
    Fake::Scene scene;
    RealClock clock;
    scene.platform.ports.clock = &clock;
    Fake::AdbBridge bridge{scene.platform.library};  // lists nothing: every phone waits
    const char* models[][2] = {{"18D1", "4EE2"}, {"18D1", "4EE3"}, {"22B8", "2E76"}, {"2717", "FF48"}};
    std::string entries;
    for (const auto& m : models)
        entries += (entries.empty() ? "" : ",") + Fake::Entry(m[0], m[1], "Bench Phone", "yes");
    scene.WriteShippedWhitelist(Fake::FileOf(entries));
    for (int i = 0; i < phones; ++i) {
        const std::string hw = std::string("USB\\VID_") + models[i % 4][0] + "&PID_" + models[i % 4][1];
        const std::string serial = "BENCH" + std::to_string(1000 + i);
        const std::string child = hw + "&MI_01\\7&" + std::to_string(1000 + i) + "&0&0001";
        scene.tree.AddDevice(
            {hw + "\\" + serial, "{36FC9E60-C465-11CF-8056-444553540000}", "", hw, "USB Composite Device", "", false});
        scene.tree.AddDevice({child, "{3F966BD9-FA04-4EC5-991C-D326973B5128}",
                              "USB\\Class_ff&SubClass_42&Prot_01USB\\Class_ff&SubClass_42USB\\Class_ff",
                              hw + "&REV_0100&MI_01", "Bench Phone", hw + "\\" + serial, false});
        scene.tree.AddAdbDriverInterface(child);
    }

    double idle = 0;
    UsbService service;
    service.SetCallback(&Host);
    {
        // Idle: a started service with nothing plugged.
        Fake::DeviceTree empty;
        scene.platform.ports.deviceTree = &empty;
        UsbService idleService;
        idleService.Start();
        idleService.StartInit();
        std::this_thread::sleep_for(std::chrono::seconds(1));
        idle = WakeupsPerSecond(seconds);
        idleService.Stop();
        scene.platform.ports.deviceTree = &scene.tree;
    }
    service.Start();
    // As IUSB_start: the first scan posts an arrival for every phone present.
    service.StartInit();
    for (int i = 0; i < 200 && g_connecting < phones; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const double waiting = WakeupsPerSecond(seconds);
    service.Stop();
    std::printf("wakeups of the library's threads: %5.1f a second while %d phones wait in their listing "
                "attempts (%.2f a phone; goal at most 1)   (reference: %.1f a second with nothing to wait for; "
                "goal 0)\n",
                waiting, g_connecting.load(), g_connecting ? waiting / g_connecting : 0.0, idle);
    return 0;
}
