// Every phone's flow on its own: each phone's messages in their order whatever the others do, one
// listing for the phones that wait at once, host answers kept for a busy phone, phones that leave
// or a service that stops in any stage, and the switch that takes phones one after another.
#include <algorithm>
#include <memory>
#include <regex>
#include <thread>
#include <utility>
#include <vector>

#include "pipeline_fixture.h"

namespace USB {
namespace PipelineTesting {
namespace {

const std::string kToStep3 =
    "WM_TRY_CONNECT_PHONE WM_CHECKING_ADBMODE WM_CHECKING_ADB_DRIVER WM_CHECKING_ADB_CONNECTING";
const std::string kOnline = kToStep3 + " WM_CHECKING_ADB_DEVICE_STATUS WM_DEVICE_ONLINE";

class FlowTest : public PipelineTest {
protected:
    explicit FlowTest(const std::string& config = "") : PipelineTest(config) {}

    // The host's messages in order, each as "serial:name".
    std::string Sequence() const
    {
        std::string out;
        static const std::regex kSerial("\"device_sn\":\"([^\"]*)\"");
        for (const Fake::HostMessage& m : host.Messages()) {
            std::smatch found;
            const std::string name = UsbService::MessageName(m.id);
            std::regex_search(m.json, found, kSerial);
            out += found[1].str() + ":" + (name.empty() ? std::to_string(m.id) : name) + " ";
        }
        return out;
    }
    static std::string Tagged(const std::string& serial, const std::string& names)
    {
        return std::regex_replace(names + " ", std::regex("(\\S+) "), serial + ":$1 ");
    }
    // Phone A is never listed; B, plugged during A's second listing, is.
    void NeverListedThenAnother(const Phone& a, const Phone& b)
    {
        bridge.Script({b.serial + "\tdevice\nX1\tdevice\n"});
        bridge.beforeListing = [&](int call) {
            if (call == 2)
                Plug(b);
        };
        Plug(a);
        Run();
        EXPECT_EQ(bridge.listingCalls, 16);
    }
};

// Two phones of one model and sixteen of four models, plugged at once and listed by the server a
// second later: each phone's messages come in their order, and the phones that wait at once are
// served by one listing (and one more for the phone whose pause ended first).
TEST_F(FlowTest, EachPhoneKeepsItsOrderAndWaitingPhonesShareAListing)
{
    for (int phones : {2, 16}) {
        SCOPED_TRACE(phones);
        Forget();
        std::vector<Phone> plugged;
        std::string listed;
        for (int i = 0; i < phones; ++i) {
            const auto& model = kModels[phones == 2 ? 0 : i % 4];
            plugged.push_back({model[0], model[1], "P" + std::to_string(phones) + "X" + std::to_string(1000 + i)});
            listed += plugged.back().serial + "\tdevice\n";
        }
        const uint64_t start = platform.clock.NowMs();
        bridge.Script({""});
        bridge.beforeListing = [&](int) {
            if (platform.clock.NowMs() >= start + kListingPauseMs)
                bridge.Script({listed});
        };
        for (const Phone& phone : plugged)
            Plug(phone);
        Run();
        for (const Phone& phone : plugged)
            EXPECT_EQ(HostOf(phone.serial), kOnline) << phone.serial;
        const auto late = std::count_if(bridge.listingTimes.begin(), bridge.listingTimes.end(),
                                        [&](uint64_t t) { return t >= start + kListingPauseMs; });
        EXPECT_EQ(late, 2);
        EXPECT_EQ(platform.clock.CountSleeps(kListingPauseMs), 1u);
        bridge.beforeListing = nullptr;
        for (const Phone& phone : plugged)
            Unplug(phone);
        Run();
    }
}

// A phone the server never lists holds no other phone: the one plugged during its wait is online
// long before the first one's fifteen attempts end.
TEST_F(FlowTest, APhoneNeverListedDelaysNoOther)
{
    NeverListedThenAnother({"18D1", "4EE7", "AAAA0001"}, {"22B8", "2E76", "BBBB0002"});
    EXPECT_EQ(Sequence(), Tagged("AAAA0001", kToStep3) + Tagged("BBBB0002", kOnline) + "AAAA0001:11064 ");
}

class OnePhoneAtATime : public FlowTest {
protected:
    OnePhoneAtATime() : FlowTest("[usb]\none_phone_at_a_time=1\n") {}
};

// The switch for hosts that need it: the second phone is taken up only once the first one's
// flow has ended.
TEST_F(OnePhoneAtATime, FlowsRunOneAfterAnother)
{
    NeverListedThenAnother({"18D1", "4EE7", "AAAA0001"}, {"22B8", "2E76", "BBBB0002"});
    const std::string sequence = Sequence();
    EXPECT_LT(sequence.find("AAAA0001:11064"), sequence.find("BBBB0002:"));
    EXPECT_EQ(HostOf("BBBB0002"), kOnline);
}

// USB_RETRY and KILL-ADBSERVER for a phone whose check runs wait for its end, one check after the
// other in the order they came; an answer for another phone runs at once.
TEST_F(FlowTest, HostAnswersForABusyPhoneWaitForItsCheck)
{
    const Phone a{"18D1", "4EE7", "AAAA0001"}, b{"22B8", "2E76", "BBBB0002"};
    bridge.Script({"BBBB0002\tdevice\nX1\tdevice\n"});
    Plug(b);
    Run();
    Forget();
    bridge.beforeListing = [&](int call) {
        if (call != 2)
            return;
        Answer("USB_RETRY", "AAAA0001", "11040");
        Answer("KILL-ADBSERVER", "AAAA0001");
        Answer("KILL-ADBSERVER", "BBBB0002");
    };
    Plug(a);
    Run();
    const std::string sequence = Sequence();
    const std::string retried = "WM_CHECKING_ADB_DRIVER WM_CHECKING_ADB_CONNECTING ";
    EXPECT_EQ(HostOf("AAAA0001"), kToStep3 + " 11064 " + retried + "11064 " + retried + "11064");
    EXPECT_EQ(HostOf("BBBB0002"), retried + "WM_CHECKING_ADB_DEVICE_STATUS WM_DEVICE_ONLINE");
    EXPECT_LT(sequence.find("BBBB0002:WM_DEVICE_ONLINE"), sequence.find("AAAA0001:11064"));
    EXPECT_EQ(platform.LogCount("the check of AAAA0001 is running, the answer waits for its end\n"), 2u);
}

// An arrival whose removal waits in the queue behind it gets no flow; one that leaves while its
// interfaces are looked for gets its WM_DEVICE_OFFLINE and nothing else.
TEST_F(FlowTest, APhoneThatLeavesBeforeItsRecordIsMadeGetsNoCheck)
{
    const Phone phone{"18D1", "4EE7", "AAAA0001"};
    AddToTree(phone);
    Sink("DEVICE_ONLINE", phone);
    Sink("DEVICE_OFFLINE", phone);
    Run();
    EXPECT_EQ(Sequence(), "");
    EXPECT_EQ(platform.LogCount("the device AAAA0001 left before its arrival was taken up\n"), 1u);
    tree.onDriverLookup = [&, done = false]() mutable {
        if (!std::exchange(done, true))
            Unplug(phone);
    };
    Sink("DEVICE_ONLINE", phone);
    Run();
    EXPECT_EQ(HostOf("AAAA0001"), "WM_TRY_CONNECT_PHONE WM_CHECKING_ADBMODE WM_DEVICE_OFFLINE");
    AddToTree(phone);
    EXPECT_TRUE(service.HasPhone());  // plugged again it is a new phone: no record of it stayed
}

// Arrivals of each kind: a listed model whose ADB interface never shows (three more looks), the
// same device again (nothing), a neighbour of a listed model, a device of an unknown vendor.
TEST_F(FlowTest, ArrivalsOfEachKind)
{
    const Phone listed{"18D1", "4EE7", "0123456789ABCDEF"};
    AddToTree(listed, false, false);
    for (const Phone& phone : {listed, listed, Phone{"18D1", "4EE8", "SERIAL9"}, Phone{"046D", "C52B", "X1"}}) {
        Sink("DEVICE_ONLINE", phone);
        Run();
    }
    Fake::ExpectTranscript("arrivals", Flow());
}

// A known vendor's model that neither the whitelist nor the cloud knows, but that shows its own
// ADB interface, is a phone and goes online; a keyboard of the vendor is none and is remembered,
// so the cloud hears of it once.
TEST_F(FlowTest, AnUnknownModelWithItsOwnAdbInterfaceIsAPhone)
{
    const Phone unknown{"18D1", "D001", "PIXEL0001"}, keyboard{"18D1", "C001", "KBD0001"};
    bridge.Script({"PIXEL0001\tdevice\n"});
    AddToTree(unknown);
    AddToTree(keyboard, false, false);
    for (const Phone& phone : {unknown, keyboard, keyboard}) {
        Sink("DEVICE_ONLINE", phone);
        Run();
    }
    EXPECT_TRUE(service.IsPhone("USB#VID_18D1&PID_D001#PIXEL0001"));
    Fake::ExpectTranscript("unknown_model_own_adb",
                           host.Transcript() + Fake::LinesWith(platform.Log(), {"url is", "phone via", "not phone"}));
}

// A tree change posts a new phone's arrival; with every present phone recorded an absent record
// stays, with none present one absent record goes per change. A record that took the ADB
// server's serial leaves once, by its unplug or by a tree change.
TEST_F(FlowTest, TreeChangesAndRecordsThatTookTheAdbSerial)
{
    const auto treeChanged = [&] {
        service.PostMessage("{\"action\":\"DEVNODES_CHANGED\"}");
        Run();
    };
    const Phone absent{"22B8", "2E76", "ABSENT01"}, madeUp{"18D1", "4EE7", "6&2A1B3C&0&1"};
    bridge.Script({"0123456789ABCDEF\tdevice\nABSENT01\tdevice\n"});
    AddToTree({"18D1", "4EE7", "0123456789ABCDEF"});
    treeChanged();
    Plug(absent);
    Run();
    tree.RemoveMatching(absent.serial);  // gone without a word from the listener
    treeChanged();
    tree.Clear();
    treeChanged(), treeChanged();
    for (bool byTreeChange : {false, true}) {
        bridge.Script({"R58M123\tdevice\n"});
        Plug(madeUp);
        Run();
        tree.Clear();
        for (int i = 0; i < 2; ++i)
            byTreeChange ? treeChanged() : (Sink("DEVICE_OFFLINE", madeUp), Run());
    }
    Fake::ExpectTranscript("tree_changes", host.Transcript() + Fake::LinesWith(platform.Log(), {"has a device"}));
}

// A phone that leaves, or a service that stops, while the phone's flow waits in any stage: the
// host hears nothing of the phone after its WM_DEVICE_OFFLINE or after the stop, and the work in
// progress gives up (its late result dropped, also by the service's next start).
TEST_F(FlowTest, UnplugOrStopInEachStage)
{
    bridge.EnableTracking();
    Fake::Gate gate;
    const auto held = [&](const std::string& body) {
        Fake::HttpAnswer answer{body};
        answer.onRead = [&] { gate.Pass(); };
        return answer;
    };
    const std::string phoneAnswer = R"({"result":0,"data":{"isadbopen":"yes","description":"Pixel"}})";
    http.ServeJson("/api/v1/drive/query/", R"({"result":0,"data":{"deviceurl":"http://cloud.test/d/pkg.exe"}})");
    http.Serve("/d/pkg.exe", held("package"));
    const struct {
        std::string stage;
        const char* pid;                // 4EE9: a model only the cloud knows
        std::string before, unplugged;  // what the host heard of the phone before, and then at its unplug
        const char* listing;
    } stages[] = {
        {"decision", "4EE9", "", "", ""},
        {"interfaces", "4EE7", "WM_TRY_CONNECT_PHONE WM_CHECKING_ADBMODE", " WM_DEVICE_OFFLINE", ""},
        {"download", "4EE7",
         "WM_TRY_CONNECT_PHONE WM_CHECKING_ADBMODE WM_CHECKING_ADB_DRIVER WM_DRIVER_INSTALLING "
         "WM_DRIVER_DOWNLOADING",
         " WM_DEVICE_OFFLINE", ""},
        {"listing", "4EE7", kToStep3, " WM_DEVICE_OFFLINE", "X1\tdevice\nX2\tdevice\n"},
        {"unauthorized", "4EE7", kToStep3 + " WM_CHECKING_ADB_DEVICE_STATUS WM_DEVICE_UNAUTHORIZED",
         " WM_DEVICE_OFFLINE", "SER\tunauthorized\n"},
    };
    std::vector<std::pair<std::string, std::string>> heard;  // serial, what the host heard of it
    const std::shared_ptr<void> stopAtEnd(nullptr, [&](void*) { gate.Set(false), service.Stop(); });
    for (const auto& row : stages) {
        for (bool stop : {false, true}) {
            SCOPED_TRACE(row.stage + (stop ? " stop" : " unplug"));
            const Phone phone{"18D1", row.pid, "SER" + std::to_string(heard.size())};
            tree.Clear();
            tree.onDriverLookup = [&, hold = row.stage == "interfaces"] {
                if (hold)
                    gate.Pass();
            };
            http.Serve("/api/v1/drive/device/", row.stage == "decision" ? held(phoneAnswer) : phoneAnswer);
            bridge.beforeListing = [&, hold = row.stage == "listing"](int call) {
                if (hold && call == 2)
                    gate.Pass();
            };
            bridge.listingCalls = 0;
            bridge.Script({std::regex_replace(row.listing, std::regex("SER"), phone.serial)});
            gate.Set(true);
            gate.passed = 0;
            service.Start();
            service.SetCallback(&Fake::HostRecorder::Callback);
            Plug(phone, row.stage != "download");
            if (row.stage != "unauthorized") {
                ASSERT_TRUE(gate.WaitPassed());
            }
            ASSERT_TRUE(Fake::WaitFor([&] { return HostOf(phone.serial) == row.before; }));
            std::string expected = row.before;
            if (stop) {  // the work held is let go once the stop has called it off
                const int stops = bridge.TrackingStops();
                std::thread opener([&] {
                    Fake::WaitFor([&] { return bridge.TrackingStops() > stops; });
                    gate.Set(false);
                });
                service.Stop();
                opener.join();
            } else {
                Unplug(phone);
                gate.Set(false);
                expected += row.unplugged;
                Fake::WaitFor(
                    [&] { return platform.LogCount("find a new device offline, " + phone.serial + "\n") > 0; });
                Fake::WaitFor([&] { return HostOf(phone.serial) == expected; });
                service.Stop();
            }
            EXPECT_EQ(HostOf(phone.serial), expected);
            heard.emplace_back(phone.serial, expected);
        }
    }
    // A late result of the runs before would show in the next run, before its first message.
    service.Start();
    service.SetCallback(&Fake::HostRecorder::Callback);
    service.PostMessage("{\"action\":\"LAST\"}");
    EXPECT_TRUE(Fake::WaitFor([&] { return platform.LogCount("{\"action\":\"LAST\"}\n") > 0; }));
    for (const auto& phone : heard)
        EXPECT_EQ(HostOf(phone.first), phone.second) << phone.first;
}

}  // namespace
}  // namespace PipelineTesting
}  // namespace USB
