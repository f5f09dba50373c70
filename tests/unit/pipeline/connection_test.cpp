// Steps 1 and 3 of a phone and the ADB listing behind them, as the host and the files see them.
#include <algorithm>
#include <memory>
#include <utility>

#include "pipeline/adb_listing.h"
#include "pipeline_fixture.h"
#include "support/sys_utils.h"

namespace USB {
namespace PipelineTesting {
namespace {

using ConnectionTest = PipelineTest;

// Each flow from the phone's arrival: the listings the bridge gives in turn and what the host and
// the files see. The only listed serial stands for the phone unless another plugged device has
// it or it is an emulator's; an upper-case Windows serial matches a listed one of any case. Not listed: 15 attempts
// with 1 s pauses; offline: 10 looks 200 ms apart.
TEST_F(ConnectionTest, Step3Flows)
{
    const struct {
        const char* name;
        const char* serial;
        std::deque<std::string> listings;
        const char* gone = nullptr;   // a device Windows reports gone in the first pause
        const char* other = nullptr;  // another plugged device's serial
    } flows[] = {
        // clang-format off
        {"step3_online", "ABC123", {"List of devices attached\nABC123\tdevice\n"}},
        {"step3_repeated_serial", "ABC123", {"List of devices attached\nABC123\tdevice\n\nABC123\toffline\n"}},
        {"step3_made_up_serial_adopted", "6&2A1B3C4D&0&1", {"", "R58M123\tdevice\n"}},
        {"step3_made_up_serial_two_phones", "6&2A1B3C4D&0&1", {"X1\tdevice\nX2\tdevice\n"}},
        {"step3_unknown_state", "ABC123", {"ABC123\tunauthorized\n"}},
        {"step3_offline", "ABC123", {"ABC123\toffline\n"}},
        {"step3_offline_then_online", "ABC123", {"ABC123\toffline\n", "ABC123\toffline\n", "ABC123\tdevice\n"}},
        {"step3_not_found", "ABC123", {"X1\tdevice\nX2\tdevice\n"}},
        {"step3_unplugged_while_waiting", "ABC123", {"X1\tdevice\nX2\tdevice\n"}, "ABC123"},
        {"step3_other_device_leaves", "ABC123", {"", "", "ABC123\tdevice\n"}, "MOUSE01"},
        {"step3_only_serial_adopted", "AAAA0001", {"BBBB0002\tdevice\n"}},
        {"step3_only_serial_held_by_other", "AAAA0001", {"BBBB0002\tdevice\n"}, nullptr, "BBBB0002"},
        {"step3_made_up_serial_held_by_other", "6&2A1B3C&0&1", {"bbbb0002\tdevice\n"}, nullptr, "BBBB0002"},
        {"step3_upper_case_serial_matches", "ABC123", {"abc123\tdevice\nzz9\tdevice\n"}},
        {"step3_only_serial_emulator", "AAAA0001", {"emulator-5554\tdevice\n", "emulator-5554\tdevice\nAAAA0001\tdevice\n"}},
        {"step3_made_up_serial_emulator", "6&2A1B3C4D&0&1", {"emulator-5554\tdevice\n", "R58M123\tdevice\n"}},
        // clang-format on
    };
    for (const auto& flow : flows) {
        SCOPED_TRACE(flow.name);
        const Phone phone{"18D1", "4EE7", flow.serial};
        tree.Clear();
        Forget();
        if (flow.other)
            AddToTree({"22B8", "2E76", flow.other});
        bridge.listings = flow.listings;
        platform.clock.onSleep = [&, once = true](uint32_t) mutable {  // as the listener reports it
            if (flow.gone && std::exchange(once, false))
                Unplug(flow.gone == std::string(flow.serial) ? phone : Phone{"1234", "5679", flow.gone});
        };
        Plug(phone);
        Run();
        Fake::ExpectTranscript(flow.name, Flow());
        platform.clock.onSleep = nullptr;
        Unplug(phone);  // whatever serial its record took, it goes once
        Run();
        const std::vector<Fake::HostMessage> heard = host.Messages();
        EXPECT_EQ(std::count_if(heard.begin(), heard.end(),
                                [](const Fake::HostMessage& m) { return m.id == USB_WM_DEVICE_OFFLINE; }),
                  1);
    }
}

// A phone left unauthorized waits on the server's pushed list and is checked again once the list
// shows it as "device"; a pause between listing attempts ends early only when the pushed list
// changes what could answer the phone.
TEST_F(ConnectionTest, ThePushedListEndsWaitsThatItConcerns)
{
    bridge.EnableTracking();
    const Phone phone{"18D1", "4EE7", "ABC123"};
    bridge.Script({"ABC123\tunauthorized\n"});
    Plug(phone);
    ASSERT_TRUE(RunUntil([&] { return HostOf("ABC123").find("WM_DEVICE_UNAUTHORIZED") != std::string::npos; }));
    Run();
    EXPECT_EQ(bridge.listingCalls, kStatusAttempts);  // the wait asks nothing while the list is unchanged
    bridge.Script({"ABC123\tdevice\n"});
    bridge.Push("ABC123\tdevice\n");
    ASSERT_TRUE(RunUntil([&] { return HostOf("ABC123").find("WM_DEVICE_ONLINE") != std::string::npos; }));
    EXPECT_EQ(HostOf("ABC123"), "WM_TRY_CONNECT_PHONE WM_CHECKING_ADBMODE WM_CHECKING_ADB_DRIVER "
                                "WM_CHECKING_ADB_CONNECTING WM_CHECKING_ADB_DEVICE_STATUS WM_DEVICE_UNAUTHORIZED "
                                "WM_CHECKING_ADB_DEVICE_STATUS WM_DEVICE_ONLINE");
    Unplug(phone);
    Run();

    // The phone is not listed; in its first pause the server pushes a list with another phone
    // added (the pause runs its second), or with this one (that list is its next attempt, at once
    // and without a listing of its own).
    for (const std::string pushed : {"X1\tdevice\nX2\tdevice\nX3\tdevice\n", "ABC123\tdevice\nX1\tdevice\n"}) {
        SCOPED_TRACE(pushed);
        Forget();
        const bool concerned = pushed.find("ABC123") != std::string::npos;
        bridge.Script({"X1\tdevice\nX2\tdevice\n", concerned ? pushed : "X1\tdevice\nX2\tdevice\n", pushed});
        bridge.beforeListing = [&](int call) {
            if (call == 1)
                bridge.Push(pushed);
        };
        Plug(phone);
        if (concerned) {
            ASSERT_TRUE(RunUntil([&] { return HostOf("ABC123").find("WM_DEVICE_ONLINE") != std::string::npos; }));
            EXPECT_EQ(bridge.listingCalls, 1);
        } else {
            ASSERT_TRUE(RunUntil([&] { return bridge.listingCalls >= 2; }));
            EXPECT_GE(bridge.listingTimes[1] - bridge.listingTimes[0], kListingPauseMs);
        }
        bridge.beforeListing = nullptr;
        Unplug(phone);
        Run();
    }
}

TEST_F(ConnectionTest, RetryProbesOnlyItsOwnDeviceWithAFreshTrail)
{
    const Phone phone{"18D1", "4EE7", "AAAA0001"};
    AddToTree(phone, false, false);  // USB debugging still off
    Sink("DEVICE_ONLINE", phone);
    Run();
    AddToTree({"18D1", "4EE7", "BBBB0002"});  // another phone of the model
    Forget();
    Answer("USB_RETRY", "NOPE");
    Answer("USB_RETRY", "AAAA0001");
    Run();
    tree.RemoveMatching("AAAA0001");
    AddToTree(phone, false);  // switched on
    Answer("USB_RETRY", "AAAA0001");
    Run();
    Fake::ExpectTranscript("retry_own_device", Flow());
}

// A device whose ADB interface names a serial another device's record holds is a conflict the
// host hears of; a phone's own second ADB interface is none.
TEST_F(ConnectionTest, SerialConflictOnlyWhenAnotherDeviceHoldsTheSerial)
{
    const Phone phone{"18D1", "4EE7", "AAAA0001"};
    AddToTree(phone);
    tree.AddDevice({"USB\\VID_18D1&PID_4EE7&MI_02\\6&SECOND&0&0002", "", "USB\\Class_ff&SubClass_42", "",
                    "ADB Interface", "USB\\VID_18D1&PID_4EE7\\AAAA0001", false});
    bridge.Script({"AAAA0001\tdevice\n"});
    Plug(phone);
    Run();
    EXPECT_EQ(HostOf("AAAA0001"), "WM_TRY_CONNECT_PHONE WM_CHECKING_ADBMODE WM_CHECKING_ADB_DRIVER "
                                  "WM_CHECKING_ADB_CONNECTING WM_CHECKING_ADB_DEVICE_STATUS WM_DEVICE_ONLINE");
    host.Clear();
    Plug({"22B8", "2E76", "AAAA0001"});
    Run();
    EXPECT_EQ(host.Transcript(),
              "WM_TRY_CONNECT_PHONE {\"device_sn\":\"AAAA0001\"}\n"
              "WM_CHECKING_ADBMODE {\"device_sn\":\"AAAA0001\"}\n"
              "WM_PHONE_SN_CONFLICT {\"device_desc\":\"Android Phone\",\"device_sn\":\"AAAA0001\"}\n");
}

// Listing lines are taken as written; other shapes are dropped, a repeated serial keeps its first
// line, and a listing that fills the buffer is cut inside it.
TEST_F(ConnectionTest, ListingParse)
{
    std::string big;
    for (int i = 0; big.size() < 5000; ++i)
        big += "SERIAL" + std::to_string(1000 + i) + "\tdevice\n";
    bridge.listings = {"List of devices attached\nABC123\tdevice\n\nABC123\toffline\n",
                       " sp1\tdevice \nthree\tfields\there\nno-tab\n\tdevice\nZ9\toffline", big};
    AdbListingSource source;
    auto parse = [&] {
        const AdbListingSource::Listing listing = source.List();
        std::string parsed;
        for (const auto& kv : listing.entries)
            parsed += "[" + kv.first + "|" + kv.second.m_state + "]";
        for (const std::string& serial : listing.repeated)
            parsed += " repeated " + serial;
        return parsed;
    };
    EXPECT_EQ(parse(), "[ABC123|device] repeated ABC123");
    EXPECT_EQ(parse(), "[|device][ sp1|device ][Z9|offline]");
    EXPECT_EQ(source.List().entries.size(), 227u);  // the lines inside the 4095 bytes read
    EXPECT_EQ(ParseAdbListing(" sp1\tdevice \nthree\tfields\there\nZ9\toffline\nZ9\tdevice"),
              (std::map<std::string, std::string>{{" sp1", "device "}, {"Z9", "offline"}}));
    EXPECT_EQ(platform.LogCount("adbdevices: List of devices attached\nABC123\tdevice\n\nABC123\toffline\n"), 1u);
}

}  // namespace
}  // namespace PipelineTesting
}  // namespace USB
