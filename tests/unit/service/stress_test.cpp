// Many host threads, the listener's sink and start/stop cycles at once: nothing crashes or
// deadlocks, and every message is handled exactly once or still waits in the queue.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fakes/fake_platform.h"
#include "fakes/gate.h"
#include "service/service.h"
#include "usbhelper.h"

namespace {

using namespace USB;

void USB_CDECL Ignore(int32_t, const char*) {}

TEST(Stress, EightHostThreadsTheSinkAndStartStopCyclesLoseNothing)
{
    Fake::Platform platform;
    UsbService& service = TheService();
    constexpr int kThreads = 8, kPerThread = 1250, kPairs = 100, kCycles = 20;
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&go, t] {
            while (!go) {}
            for (int i = 0; i < kPerThread; ++i)
                IUSB_SendMessage(("{\"action\":\"S\",\"n\":" + std::to_string(t * kPerThread + i) + "}").c_str());
        });
    threads.emplace_back([&go] {
        while (!go) {}
        for (int i = 0; i < kCycles; ++i) {
            IUSB_start(&Ignore);
            IUSB_stop();
        }
    });
    threads.emplace_back([&go, &service] {
        while (!go) {}
        // What the listener's consumer hands over: arrivals and removals of a device that is no
        // phone, and raw texts sent with WM_COPYDATA.
        for (int i = 0; i < kPairs; ++i) {
            const std::string info = "\\\\\\\\?\\\\USB#VID_1234&PID_5678#STRESS" + std::to_string(i) + "\"}";
            const std::string online = "{\"action\":\"DEVICE_ONLINE\",\"device_info\":\"" + info;
            const std::string offline = "{\"action\":\"DEVICE_OFFLINE\",\"device_info\":\"" + info;
            UsbService::MessageSink(online.c_str(), static_cast<uint32_t>(online.size()), &service);
            UsbService::MessageSink(offline.c_str(), static_cast<uint32_t>(offline.size()), &service);
            const std::string raw = "copied text " + std::to_string(i);
            UsbService::MessageSink(raw.c_str(), static_cast<uint32_t>(raw.size()), &service);
        }
    });
    go = true;
    for (auto& t : threads)
        t.join();

    // One more run drains what the cycles left queued, up to a last message.
    IUSB_SendMessage("{\"action\":\"LAST\"}");
    IUSB_start(&Ignore);
    EXPECT_TRUE(Fake::WaitFor([&] { return platform.LogCount("{\"action\":\"LAST\"}\n") > 0; }, 30000));
    IUSB_stop();

    const std::string log = "\n" + platform.Log();
    std::multiset<int> handled;
    const std::string mark = "\n{\"action\":\"S\",\"n\":";
    for (size_t at = log.find(mark); at != std::string::npos; at = log.find(mark, at + 1))
        handled.insert(std::atoi(log.c_str() + at + mark.size()));
    ASSERT_EQ(handled.size(), static_cast<size_t>(kThreads * kPerThread));
    for (int n = 0; n < kThreads * kPerThread; ++n)
        ASSERT_EQ(handled.count(n), 1u) << "message " << n;
}

}  // namespace
