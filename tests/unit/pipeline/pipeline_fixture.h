// One service object over fake ports (bridge, processes, device tree, cloud, installer) with a
// host callback set, so that the log shows every message the host gets.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "fakes/fake_device_tree.h"
#include "fakes/fake_http.h"
#include "fakes/fake_install_service.h"
#include "fakes/fake_pipeline.h"
#include "fakes/host_recorder.h"
#include "fakes/records.h"
#include "fakes/test_access.h"
#include "pipeline/driver_provisioning.h"
#include "service/service.h"
#include "support/usb_log.h"

namespace USB {
namespace PipelineTesting {

// A device tree that can show the ADB interface at its n-th listing and act before a wait.
class Tree : public Fake::DeviceTree {
public:
    bool ListAdbDriverInterfaces(std::vector<std::wstring>& ids, uint32_t& error) override
    {
        if (++listings == appearAt)
            AddAdbDriverInterface(L"USB\\VID_18D1&PID_4EE7&MI_01\\6&12345678&0&0001");
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

// The test clock, which also checks at every pause that another thread (as the message sink
// would) can take the device lock.
class LockProbeClock : public ClockPort {
public:
    LockProbeClock(ClockPort& clock, UsbCLock& lock) : m_clock(clock), m_lock(lock) {}
    void SleepMs(uint32_t ms) override
    {
        held += !std::async(std::launch::async, [this] { return TimedLockGuard(m_lock, 1000).Locked(); }).get();
        m_clock.SleepMs(ms);
    }
    uint64_t NowMs() override { return m_clock.NowMs(); }
    std::atomic<int> held{0};  // pauses taken with the lock held

private:
    ClockPort& m_clock;
    UsbCLock& m_lock;
};

class PipelineTest : public ::testing::Test {
protected:
    PipelineTest()
    {
        platform.ports.process = &processes;
        platform.ports.deviceTree = &tree;
        platform.ports.http = &http;
        platform.ports.installService = &installer;
        platform.ports.clock = &clock;
        service.SetCallback(&Fake::HostRecorder::Callback);
        service.Cloud().m_baseUrl = "http://cloud.test";
        service.Track().Clear();
        service.Track() += "head&process=";
        LogRelay relay;  // logged, so that a transcript shows when a track record was handed over
        relay.sendMsg = [](const char* text) { LogLine("relay", 0, "relay: %s\n", text ? text : ""); };
        SetLogRelay(relay);
    }
    ~PipelineTest() override
    {
        WaitForInstalls();  // an install thread uses the fakes and may outlast the poll
        service.SetCallback(nullptr);
        SetLogRelay(LogRelay{});
        EXPECT_EQ(clock.held, 0);
        platform.ports.clock = &platform.clock;  // the probe goes before the service it looks into
    }

    static void WaitForInstalls()
    {
        while (InstallThreadsRunning())
            std::this_thread::yield();
    }
    // A record as the arrival branch leaves it.
    UsbDevice* AddPhone(const std::string& serial, bool adbOpen = true)
    {
        UsbDevice* device = Fake::AddRecord(service.Devices(), serial, "18D1", "4EE7");
        device->m_isAdbOpen = adbOpen;
        return device;
    }
    // As the message sink marks a phone that left.
    void Unplug(UsbDevice& phone)
    {
        LockGuard guard(PipelineTestAccess::DeviceLock(service.Pipeline()));
        phone.m_stop = true;
    }
    void ExpectFlow(const std::string& name, const std::string& extra = "")
    {
        Fake::ExpectTranscript(name, Fake::Transcript(platform, extra));
    }

    Fake::Platform platform;
    Fake::AdbBridge bridge{platform.library};
    Fake::Processes processes;
    Tree tree;
    Fake::Http http;
    Fake::InstallService installer;
    Fake::HostRecorder host;
    UsbService service;
    LockProbeClock clock{platform.clock, PipelineTestAccess::DeviceLock(service.Pipeline())};
};

}  // namespace PipelineTesting
}  // namespace USB
