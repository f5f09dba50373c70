// The ADB device listing and the match of the Windows serial with the ADB serial.
#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "pipeline/adb_loader.h"
#include "pipeline/connection.h"
#include "pipeline_fixture.h"

namespace USB {
namespace PipelineTesting {
namespace {

using ListingTest = PipelineTest;

TEST(SplitStringTest, CutsAtEveryDelimiterAndFillsEmptyPieces)
{
    EXPECT_EQ(SplitString("a\n\nb\n", "\n", "-"), (std::vector<std::string>{"a", "-", "b", "-"}));
    EXPECT_EQ(SplitString("serial\tdevice", "\t", ""), (std::vector<std::string>{"serial", "device"}));
    EXPECT_EQ(SplitString("a::b", "::", ""), (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(SplitString("", "\n", "").empty());
    EXPECT_TRUE(SplitString("abc", "", "").empty());
}

TEST_F(ListingTest, HeaderAndEmptyLinesAreIgnored)
{
    bridge.Script({"List of devices attached\nABC123\tdevice\n"});
    service.Pipeline().RefreshAdbDevices();
    ASSERT_EQ(service.Pipeline().AdbDevices().size(), 1u);
    EXPECT_EQ(service.Pipeline().AdbDevices().at("ABC123")->m_serial, "ABC123");
    EXPECT_EQ(service.Pipeline().AdbDevices().at("ABC123")->m_state, "device");
    EXPECT_EQ(bridge.sizesPassed, std::vector<int>{4096});
    EXPECT_NE(WithoutCr(platform.LogText()).find("adbdevices: List of devices attached\nABC123\tdevice\n"), std::string::npos);
    EXPECT_TRUE(ui.Messages().empty());
}

TEST_F(ListingTest, FieldsAreTakenAsWrittenAndOtherShapesDropped)
{
    bridge.Script({" sp1\tdevice \nthree\tfields\there\nno-tab\n\tdevice\nZ9\toffline"});
    service.Pipeline().RefreshAdbDevices();
    ASSERT_EQ(service.Pipeline().AdbDevices().size(), 3u);
    EXPECT_EQ(service.Pipeline().AdbDevices().at(" sp1")->m_state, "device ");
    EXPECT_EQ(service.Pipeline().AdbDevices().at("")->m_state, "device");
    EXPECT_EQ(service.Pipeline().AdbDevices().at("Z9")->m_state, "offline");
}

TEST_F(ListingTest, DuplicateSerialKeepsFirstLineAndTellsTheHostOnce)
{
    bridge.Script({"ABC123\tdevice\nABC123\toffline\n"});
    service.Pipeline().RefreshAdbDevices();
    ASSERT_EQ(service.Pipeline().AdbDevices().size(), 1u);
    EXPECT_EQ(service.Pipeline().AdbDevices().at("ABC123")->m_state, "device");
    ASSERT_EQ(ui.Messages().size(), 1u);
    EXPECT_EQ(ui.Messages()[0], std::make_pair(int(USB_WM_PHONE_SN_CONFLICT), std::string("{\"device_sn\":\"ABC123\"}\n")));
    EXPECT_EQ(Occurrences(WithoutCr(platform.LogText()), "this device sn had already existed in the list\n"), 1u);
}

TEST_F(ListingTest, EachRefreshReplacesThePreviousListing)
{
    bridge.Script({"A1\tdevice\nB2\tdevice\n", "C3\toffline\n"});
    service.Pipeline().RefreshAdbDevices();
    service.Pipeline().RefreshAdbDevices();
    ASSERT_EQ(service.Pipeline().AdbDevices().size(), 1u);
    EXPECT_EQ(service.Pipeline().AdbDevices().count("C3"), 1u);
}

TEST_F(ListingTest, ListingThatFillsTheWholeBufferIsCutInsideIt)
{
    std::string big;
    for (int i = 0; big.size() < 5000; ++i)
        big += "SERIAL" + std::to_string(1000 + i) + "\tdevice\n";
    bridge.Script({big});
    service.Pipeline().RefreshAdbDevices();  // the fake leaves no NUL in a full buffer
    EXPECT_GT(service.Pipeline().AdbDevices().size(), 100u);
    EXPECT_LT(service.Pipeline().AdbDevices().size(), 4096u / 18u + 1u);
}

TEST(ListingWithoutBridge, AbsentLibraryGivesAnEmptyListing)
{
    Fake::Platform platform;
    Fake::ReloadAdb();
    UsbService service;
    EXPECT_EQ(service.Pipeline().EnsureAdbServer(), -1);
    service.Pipeline().RefreshAdbDevices();
    EXPECT_TRUE(service.Pipeline().AdbDevices().empty());
    EXPECT_NE(WithoutCr(platform.LogText()).find("adbdevices: \n"), std::string::npos);
}

TEST_F(ListingTest, WindowsUpperCaseSerialMatchesAdbLowerCase)
{
    UsbDevice* phone = AddPhone("ABC123");
    bridge.Script({"abc123\tdevice\nzz9\tdevice\n"});
    AdbDevice* entry = service.Pipeline().FindAdbDevice(phone);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->m_serial, "abc123");
    EXPECT_EQ(phone->m_pDeviceSn, "abc123");
    EXPECT_EQ(service.Devices().FindBySn("abc123"), phone);
    EXPECT_EQ(bridge.listings, 1);
    const std::string log = WithoutCr(platform.LogText());
    EXPECT_NE(log.find("system dev_sn is ABC123\n"), std::string::npos);
    EXPECT_NE(log.find("adb phone dev_sn is abc123\n"), std::string::npos);
}

TEST_F(ListingTest, MixedCaseWindowsSerialIsNotFoldedForTheMatch)
{
    UsbDevice* phone = AddPhone("AbC123");
    bridge.Script({"abc123\tdevice\nzz9\tdevice\n"});
    EXPECT_EQ(service.Pipeline().FindAdbDevice(phone), nullptr);
    EXPECT_EQ(phone->m_pDeviceSn, "AbC123");
}

TEST_F(ListingTest, SingleListedPhoneIsTakenEvenWithAnotherSerial)
{
    UsbDevice* phone = AddPhone("ABC123");
    bridge.Script({"emulator-5554\tdevice\n"});
    AdbDevice* entry = service.Pipeline().FindAdbDevice(phone);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(phone->m_pDeviceSn, "emulator-5554");
}

TEST_F(ListingTest, TwoOtherPhonesMeanFifteenListingsOneSecondApart)
{
    UsbDevice* phone = AddPhone("ABC123");
    bridge.Script({"", "", "X1\tdevice\nX2\tdevice\n"});
    EXPECT_EQ(service.Pipeline().FindAdbDevice(phone), nullptr);
    EXPECT_EQ(bridge.listings, 15);
    EXPECT_EQ(platform.clock.CountSleeps(1000), 15u);
    EXPECT_EQ(platform.clock.Sleeps().size(), 15u);
    EXPECT_EQ(phone->m_pDeviceSn, "ABC123");
}

TEST_F(ListingTest, DeviceLockIsFreeDuringEverySleep)
{
    // At each sleep another thread (as the message sink would) must get the device lock.
    class LockProbeClock : public ClockPort {
    public:
        explicit LockProbeClock(UsbService& s) : service(s) {}
        void SleepMs(uint32_t) override
        {
            auto done = std::make_shared<std::promise<void>>();
            std::future<void> got = done->get_future();
            probes.emplace_back([this, done] {
                UsbMutex guard(USB::UsbServiceTestAccess::DeviceLock(service));
                done->set_value();
            });
            // A held lock shows as a probe still waiting; it finishes once the lock is let go.
            free += got.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
        }
        uint64_t NowMs() override { return 0; }
        UsbService& service;
        std::vector<std::thread> probes;
        int free = 0;
    } clock(service);
    platform.ports.clock = &clock;
    UsbDevice* phone = AddPhone("ABC123");
    bridge.Script({"X1\tdevice\nX2\tdevice\n"});
    EXPECT_EQ(service.Pipeline().FindAdbDevice(phone), nullptr);
    for (std::thread& t : clock.probes)
        t.join();
    EXPECT_EQ(clock.free, 15);
}

}  // namespace
}  // namespace PipelineTesting
}  // namespace USB
