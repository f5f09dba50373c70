// Steps 1 and 3 of a phone and the ADB listing behind them, as the host and the files see them.
#include <memory>

#include "pipeline_fixture.h"
#include "support/sys_utils.h"

namespace USB {
namespace PipelineTesting {
namespace {

using ConnectionTest = PipelineTest;

// Each flow: the listings the bridge gives in turn, the phone's Windows serial, and what runs.
// The only listed serial stands for the phone unless another plugged device has it or it is an
// emulator's; a serial is matched without case only when Windows reports it in upper case.
TEST_F(ConnectionTest, Step3Flows)
{
    const struct {
        const char* name;
        const char* serial;
        std::deque<std::string> listings;
        const char* gone;             // a device Windows reports gone at the second listing
        const char* other = nullptr;  // another plugged device's serial (the phone is then plugged too)
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
        {"step3_only_serial_adopted", "AAAA0001", {"BBBB0002\tdevice\n"}, nullptr},
        {"step3_only_serial_held_by_other", "AAAA0001", {"BBBB0002\tdevice\n"}, nullptr, "BBBB0002"},
        {"step3_made_up_serial_held_by_other", "6&2A1B3C&0&1", {"bbbb0002\tdevice\n"}, nullptr, "BBBB0002"},
        {"step3_upper_case_serial_matches", "ABC123", {"abc123\tdevice\nzz9\tdevice\n"}, nullptr},
        {"step3_mixed_case_serial_not_folded", "AbC123", {"abc123\tdevice\nzz9\tdevice\n"}, nullptr},
        {"step3_only_serial_emulator", "AAAA0001", {"emulator-5554\tdevice\n", "emulator-5554\tdevice\nAAAA0001\tdevice\n"}, nullptr},
        {"step3_made_up_serial_emulator", "6&2A1B3C4D&0&1", {"emulator-5554\tdevice\n", "R58M123\tdevice\n"}, nullptr},
        // clang-format on
    };
    for (const auto& flow : flows) {
        SCOPED_TRACE(flow.name);
        Fake::ClearTranscript(platform);
        tree.Clear();
        if (flow.other) {
            tree.AddPhone(L"18D1", L"4EE7", NarrowToWide(flow.serial));
            tree.AddPhone(L"22B8", L"2E76", NarrowToWide(flow.other));
        }
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
        service.Devices().Remove(phone);  // whatever serial it took
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

TEST_F(ConnectionTest, SerialConflictOnlyWhenAnotherDeviceHoldsTheSerial)
{
    auto registerAdb = [this](std::initializer_list<const wchar_t*> parents) {
        PhoneSystemInfo phone;
        PhoneInfos interfaces;
        for (const wchar_t* parent : parents) {
            interfaces.push_back(std::make_unique<PhoneSystemInfo>());
            interfaces.back()->m_parentInstanceId = parent;
            interfaces.back()->m_description = L"ADB Interface";
        }
        service.Pipeline().RegisterAdbInterfaces(phone, interfaces);
    };
    registerAdb({L"USB#VID_18D1&PID_4EE7#AAAA0001", L"USB#VID_18D1&PID_4EE7#AAAA0001"});  // two ADB interfaces
    EXPECT_EQ(service.Devices().Size(), 1u);
    registerAdb({L"USB#VID_22B8&PID_2E76#AAAA0001"});
    EXPECT_EQ(host.Transcript(),
              "WM_PHONE_SN_CONFLICT {\"device_desc\":\"ADB Interface\",\"device_sn\":\"AAAA0001\"}\n");
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

}  // namespace
}  // namespace PipelineTesting
}  // namespace USB
