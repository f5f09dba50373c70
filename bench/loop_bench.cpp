// How quickly the event loop starts a posted message, and how often it wakes while idle,
// beside a loop that polls the queue with a fixed 30 ms sleep. Both loops drive a service object
// of the same kind in the same run. Prints figures only.
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "fakes/fake_platform.h"
#include "service/service.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// The dispatcher's first act is logging the message, and every log line asks the system port
// for the data folder: that call marks the start of the dispatch without touching the loop.
class ProbeSystem : public USB::Fake::System {
public:
    std::string AppDataFolder() override
    {
        if (armed.exchange(false)) {
            hitTid = static_cast<long>(syscall(SYS_gettid));
            hitNs = NowNs();
        }
        return appData;
    }
    std::atomic<bool> armed{false};
    std::atomic<int64_t> hitNs{0};
    std::atomic<long> hitTid{0};  // the thread that dispatches
};

long ContextSwitches(long tid)
{
    std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
    std::string line;
    long total = 0;
    while (std::getline(status, line)) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
            total += std::stol(line.substr(line.find(':') + 1));
    }
    return total;
}

struct Figures {
    double medianMs;
    double wakeupsPerSecond;
};

// Runs `loop` on a thread (or starts the service's own), measures the dispatching thread's idle
// wakeups, then post-to-dispatch latency.
Figures Measure(USB::UsbService& service, ProbeSystem& probe, const std::function<void()>& loop,
                const std::function<void()>& stop, int samples, double idleSeconds)
{
    std::thread runner(loop);
    probe.hitNs = 0;
    probe.armed = true;
    service.PostMessage("{\"action\":\"BENCH\"}\n");
    while (probe.hitNs == 0)
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    const long tid = probe.hitTid;

    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const long before = ContextSwitches(tid);
    std::this_thread::sleep_for(std::chrono::duration<double>(idleSeconds));
    const long after = ContextSwitches(tid);

    std::mt19937 random(12345);
    std::uniform_int_distribution<int> gap(0, 40);
    std::vector<double> latencies;
    for (int i = 0; i < samples; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(gap(random)));  // random phase
        probe.hitNs = 0;
        probe.armed = true;
        const int64_t posted = NowNs();
        service.PostMessage("{\"action\":\"BENCH\"}\n");
        while (probe.hitNs == 0)
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        latencies.push_back((probe.hitNs - posted) / 1e6);
    }
    stop();
    runner.join();
    std::sort(latencies.begin(), latencies.end());
    return {latencies[latencies.size() / 2], (after - before) / idleSeconds};
}

}  // namespace

int main()
{
    USB::Fake::Platform platform;
    ProbeSystem probe;
    probe.appData = platform.system.appData;
    probe.exePath = platform.system.exePath;
    platform.ports.system = &probe;

    USB::UsbService service;
    const int samples = 100;
    const double idleSeconds = 2.0;

    const Figures signalled = Measure(
        service, probe, [&] { service.Start(); }, [&] { service.Stop(); }, samples, idleSeconds);

    std::atomic<bool> pollStop{false};
    USB::UsbService polled;
    const Figures polling = Measure(
        polled, probe,
        [&] {
            while (!pollStop) {
                polled.RunUntilIdle();
                std::this_thread::sleep_for(std::chrono::milliseconds(30));
            }
        },
        [&] { pollStop = true; }, samples, idleSeconds);

    std::printf("%-28s %24s %18s\n", "loop", "median post->dispatch", "wakeups per idle s");
    std::printf("%-28s %21.3f ms %18.1f\n", "signalled (event per push)", signalled.medianMs,
                signalled.wakeupsPerSecond);
    std::printf("%-28s %21.3f ms %18.1f\n", "fixed 30 ms polling", polling.medianMs, polling.wakeupsPerSecond);
    std::printf("(%d messages each, idle wakeups counted as context switches of the loop thread over %.1f s)\n",
                samples, idleSeconds);
    return 0;
}
