// Steps 1 and 3 of a phone and the ADB listing behind them, as the host and the files see them.
#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "pipeline_fixture.h"
#include "support/sys_utils.h"

namespace USB {
namespace PipelineTesting {
namespace {

using ConnectionTest = PipelineTest;

// Each flow: the listings the bridge gives in turn, the phone's Windows serial, and what runs.
TEST_F(ConnectionTest, Step3Flows)
{
    const struct {
        const char* name;
        const char* serial;
        std::deque<std::string> listings;
        const char* gone;  // a device Windows reports gone at the second listing
    } flows[] = {
        // clang-format off
        {"step3_online", "ABC123", {"List of devices attached\nABC123\tdevice\n"}, nullptr},
        {"step3_made_up_serial_adopted", "6&2A1B3C4D&0&1", {"", "R58M123\tdevice\n"}, nullptr},
        {"step3_made_up_serial_two_phones", "6&2A1B3C4D&0&1", {"X1\tdevice\nX2\tdevice\n"}, nullptr},
        {"step3_unknown_state", "ABC123", {"ABC123\tunauthorized\n"}, nullptr},
        {"step3_offline", "ABC123", {"ABC123\toffline\n"}, nullptr},
        {"step3_offline_then_online", "ABC123", {"ABC123\toffline\n", "ABC123\toffline\n", "ABC123\tdevice\n"}, nullptr},
        {"step3_not_found", "ABC123", {"X1\tdevice\nX2\tdevice\n"}, nullptr},
        {"step3_unplugged_while_waiting", "ABC123", {"X1\tdevice\nX2\tdevice\n"}, "VID_18D1&PID_4EE7#ABC123"},
        {"step3_other_device_leaves", "ABC123", {"", "", "ABC123\tdevice\n"}, "VID_1234&PID_5679#MOUSE01"},
        // clang-format on
    };
    for (const auto& flow : flows) {
        SCOPED_TRACE(flow.name);
        for (const auto& kv : service.Devices().Snapshot())
            service.Devices().Remove(kv.second);
        Fake::ClearTranscript(platform);
        UsbDevice* phone = AddPhone(flow.serial);
        bridge.listings = flow.listings;
        bridge.listingCalls = 0;
        bridge.beforeListing = [&](int call) {  // Windows reports the device gone, as its listener would
            const std::string gone = std::string("{\"action\":\"DEVICE_OFFLINE\",\"device_info\":\"\\\\\\\\?\\\\USB#") +
                                     (flow.gone ? flow.gone : "") + "#{a5dcbf10-6530-11d2-901f-00c04fb951ed}\"}";
            if (call == 2 && flow.gone)
                UsbService::MessageSink(gone.c_str(), 0, &service);
        };
        EXPECT_EQ(service.Pipeline().CheckAdbConnection(phone), kStepEnded);
        EXPECT_FALSE(phone->m_stop);
        ExpectFlow(flow.name);
    }
    EXPECT_EQ(service.QueuedMessages(), 2u);  // the removals themselves are left to the loop
}

TEST_F(ConnectionTest, RetryProbesOnlyItsOwnDeviceWithAFreshTrail)
{
    tree.AddPhone(L"18D1", L"4EE7", L"AAAA0001", L"Pixel", false);  // USB debugging still off
    tree.AddPhone(L"18D1", L"4EE7", L"BBBB0002", L"Pixel");         // another phone of the model
    UsbDevice* phone = AddPhone("AAAA0001", false);
    service.Pipeline().RetryDevice("NOPE");
    service.Pipeline().RetryDevice("AAAA0001");
    tree.RemoveMatching(L"AAAA0001");
    tree.AddPhone(L"18D1", L"4EE7", L"AAAA0001", L"Pixel");  // switched on
    service.Pipeline().RetryDevice("AAAA0001");
    EXPECT_TRUE(phone->m_isAdbOpen);
    ExpectFlow("retry_own_device");
}

// The only listed serial stands for the phone unless another plugged device has it.
TEST_F(ConnectionTest, OnlyListedSerialIsAdoptedUnlessAnotherDeviceHasIt)
{
    const struct {
        const char *windows, *listed, *otherDevice, *after;
    } rows[] = {
        {"AAAA0001", "BBBB0002", "", "BBBB0002"},        {"AAAA0001", "BBBB0002", "BBBB0002", "AAAA0001"},
        {"6&2A1B3C&0&1", "R58M123", "", "R58M123"},      {"6&2A1B3C&0&1", "bbbb0002", "BBBB0002", "6&2A1B3C&0&1"},
        {"ABC123", "abc123\tdevice\nzz9", "", "abc123"},  // upper case matches lower case
        {"AbC123", "abc123\tdevice\nzz9", "", "AbC123"},  // mixed case is not folded
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.windows) + " " + row.otherDevice);
        for (const auto& kv : service.Devices().Snapshot())
            service.Devices().Remove(kv.second);
        tree.Clear();
        tree.AddPhone(L"18D1", L"4EE7", NarrowToWide(row.windows));
        if (*row.otherDevice)
            tree.AddPhone(L"22B8", L"2E76", NarrowToWide(row.otherDevice));
        UsbDevice* phone = AddPhone(row.windows);
        bridge.listings = {std::string(row.listed) + "\tdevice\n"};
        host.Clear();
        EXPECT_EQ(service.Pipeline().CheckAdbConnection(phone), kStepEnded);
        EXPECT_EQ(phone->m_pDeviceSn + " online " + std::to_string(host.WithId(USB_WM_DEVICE_ONLINE).size()),
                  row.after + std::string(" online ") + (std::string(row.after) != row.windows ? "1" : "0"));
    }
}

TEST_F(ConnectionTest, SerialConflictOnlyWhenAnotherDeviceHoldsTheSerial)
{
    auto adb = [](const wchar_t* parent) {
        auto info = std::make_unique<PhoneSystemInfo>();
        info->_phone_sn_instance_id = parent;
        info->m_description = L"ADB Interface";
        return info;
    };
    PhoneSystemInfo phone;
    USB::PhoneInfos own, others;
    own.push_back(adb(L"USB#VID_18D1&PID_4EE7#AAAA0001"));
    own.push_back(adb(L"USB#VID_18D1&PID_4EE7#AAAA0001"));
    others.push_back(adb(L"USB#VID_22B8&PID_2E76#AAAA0001"));
    service.Pipeline().RegisterAdbInterfaces(phone, own);  // a phone with two ADB interfaces
    EXPECT_EQ(service.Devices().Size(), 1u);
    EXPECT_TRUE(host.Messages().empty());
    service.Pipeline().RegisterAdbInterfaces(phone, others);
    ASSERT_EQ(host.Messages().size(), 1u);
    EXPECT_EQ(host.Messages()[0].json, "{\"device_desc\":\"ADB Interface\",\"device_sn\":\"AAAA0001\"}\n");
}

// Listing lines are taken as written; other shapes are dropped, a repeated serial keeps its first
// line and is a conflict the host hears of, and a listing that fills the buffer is cut inside it.
TEST_F(ConnectionTest, ListingParse)
{
    std::string big;
    for (int i = 0; big.size() < 5000; ++i)
        big += "SERIAL" + std::to_string(1000 + i) + "\tdevice\n";
    bridge.listings = {"List of devices attached\nABC123\tdevice\n\nABC123\toffline\n",
                       " sp1\tdevice \nthree\tfields\there\nno-tab\n\tdevice\nZ9\toffline", big};
    auto parse = [this] {
        service.Pipeline().RefreshAdbDevices();
        std::string parsed;
        for (const auto& kv : service.Pipeline().AdbDevices())
            parsed += "[" + kv.first + "|" + kv.second->m_state + "]";
        return parsed;
    };
    EXPECT_EQ(parse(), "[ABC123|device]");
    ExpectFlow("listing_repeated_serial");
    EXPECT_EQ(parse(), "[|device][ sp1|device ][Z9|offline]");
    parse();  // the lines inside the 4095 bytes read
    EXPECT_EQ(service.Pipeline().AdbDevices().size(), 227u);
}

TEST(ListingWithoutBridge, AbsentLibraryIsLoadedOnceAndGivesAnEmptyListing)
{
    Fake::Platform platform;
    Fake::ReloadAdb();
    UsbService service;
    service.StartAdbServer();
    EXPECT_EQ(service.Pipeline().EnsureAdbServer(), kStepEnded);
    service.Pipeline().RefreshAdbDevices();
    EXPECT_TRUE(service.Pipeline().AdbDevices().empty());
    // Beside the host first, then by name; not again by any later call.
    EXPECT_EQ(platform.library.loads, (std::vector<std::string>{GetExeDirectory() + "AdbBridge.dll", "AdbBridge.dll"}));
    Fake::ExpectTranscript("listing_without_bridge", Fake::Transcript(platform));
}

TEST_F(ConnectionTest, DeviceLockIsFreeDuringEveryPause)
{
    // At each pause another thread (as the message sink would) must get the device lock.
    class LockProbeClock : public ClockPort {
    public:
        explicit LockProbeClock(UsbService& s) : service(s) {}
        void SleepMs(uint32_t) override
        {
            auto done = std::make_shared<std::promise<void>>();
            std::future<void> got = done->get_future();
            probes.emplace_back([this, done] {
                UsbMutex guard(PipelineTestAccess::DeviceLock(service.Pipeline()));
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
    bridge.listings = {"X1\tdevice\nX2\tdevice\n"};
    EXPECT_EQ(service.Pipeline().FindAdbDevice(phone), nullptr);
    for (std::thread& t : clock.probes)
        t.join();
    EXPECT_EQ(clock.free, 15);
}

}  // namespace
}  // namespace PipelineTesting
}  // namespace USB
