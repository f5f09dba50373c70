// The action-message path as the host and the listener drive it: queue, sink, loop, dispatch and
// stop, observed through host messages and the log.
#include <initializer_list>
#include <new>
#include <stdexcept>

#include "../pipeline/pipeline_fixture.h"
#include "fakes/fake_listener.h"
#include "support/json_utils.h"

namespace USB {
namespace PipelineTesting {
namespace {

std::string Action(const std::string& action, const std::string& member = "", const Json::Value& value = Json::Value())
{
    Json::Value m(Json::objectValue);
    m["action"] = action;
    if (!member.empty())
        m[member] = value;
    return WriteJson(m);
}
const std::string kDevnodes = Action("DEVNODES_CHANGED");

Fake::Gate g_gate;  // a host callback in progress
void USB_CDECL GatedHost(int32_t id, const char* json)
{
    Fake::HostRecorder::Callback(id, json);
    g_gate.Pass();
}

class EventLoopTest : public PipelineTest {
protected:
    EventLoopTest()
    {
        g_gate.Set(false);
        g_gate.passed = 0;
    }
    size_t Dispatches(const std::string& text) const
    {
        return Fake::CountOf("\n" + platform.Log(), "\n" + text + "\n");
    }
    // Waits until the dispatcher has logged text (it logs every message it starts).
    bool Dispatched(const std::string& text) const
    {
        return Fake::WaitFor([&] { return Dispatches(text) > 0; });
    }
    // The phones taken up and online, their records made; what the host heard of them forgotten.
    void Online(std::initializer_list<Phone> phones)
    {
        std::string listed;
        for (const Phone& phone : phones)
            listed += phone.serial + "\tdevice\n";
        bridge.Script({listed});
        for (const Phone& phone : phones)
            Plug(phone);
        Run();
        Forget();
    }
    std::string Removal(const Phone& phone) const { return Action("DEVICE_OFFLINE", "device_info", phone.Path()); }
};

TEST_F(EventLoopTest, DispatchRules)
{
    // A removal drops the tree changes queued behind it, up to a message without action.
    service.PostMessage(Removal({"1234", "5678", "X1"}));
    for (const std::string& m : {kDevnodes, std::string("not json"), kDevnodes, Action("DEVNODES_CHANGED "),
                                 std::string("{\"action\":5}\n"), kDevnodes})
        service.PostMessage(m);
    Run();
    EXPECT_EQ(Fake::LinesWith(platform.Log(), {"{\"action\"", "not json"}),
              Removal({"1234", "5678", "X1"}) + "not json\n" + Action("DEVNODES_CHANGED ") + "{\"action\":5}\n" +
                  kDevnodes);

    // The removal of another device, unknown actions and broken texts change nothing.
    const Phone first{"18D1", "4EE7", "FIRST"};
    Online({first});
    for (const std::string& text :
         {Removal({"18D1", "4EE7", "OTHER"}), Action("DEVICE_OFFLINE"), Action("DEVICE_OFFLINE", "device_info", "ab"),
          Action("REBOOT_PC", "device_sn", "FIRST"), std::string("{\"action\":null}"), std::string("garbage{")})
        service.PostMessage(text);
    Run();
    EXPECT_EQ(Dispatches("garbage{"), 1u);
    EXPECT_EQ(host.Transcript(), "");
    Unplug(first);
    Run();
    EXPECT_EQ(HostOf("FIRST"), "WM_DEVICE_OFFLINE");

    // The sink drops JSON without a string action and queues everything else.
    Forget();
    for (const char* text : {"{\"action\":7}", "{\"device_sn\":\"A\"}", "[1,2]", "not json", "{\"action\":\"X\"}"})
        UsbService::MessageSink(text, 0, &service);
    UsbService::MessageSink(nullptr, 0, &service);
    UsbService::MessageSink("{\"action\":\"Y\"}", 0, nullptr);
    Run();
    EXPECT_EQ(Fake::LinesWith(platform.Log(), {"{\"", "[1,2]", "not json"}), "not json\n{\"action\":\"X\"}\n");
}

// The answer to WM_ADB_OPEN alternates per phone: a retry, then a re-run from the driver check.
TEST_F(EventLoopTest, TheAdbOpenAnswerAlternatesPerDeviceBetweenRetryAndADriverRerun)
{
    for (const Phone& phone : {Phone{"18D1", "4EE7", "SERA"}, Phone{"22B8", "2E76", "SERB"}}) {
        AddToTree(phone, false, false);  // USB debugging off
        Sink("DEVICE_ONLINE", phone);
    }
    Run();
    Forget();
    for (const char* text :
         {"\"sera\",\"command\":11024", "\"sera\",\"command\":11024", "\"SERB\",\"command\":\"11024\"",
          "\"SERA\",\"command\":\"11024\"", "\"SERA\",\"command\":11040", "\"SERA\"", "\"SERA\",\"command\":\"abc\"",
          "\"SERA\",\"command\":11024.5"}) {
        service.PostMessage(std::string("{\"action\":\"USB_RETRY\",\"device_sn\":") + text + "}");
        Run();
    }
    EXPECT_TRUE(Fake::MatchesTranscript(
        "usb_retry", host.Transcript() + Fake::LinesWith(platform.Log(), {"adbcmd", "maybe do not", "retry connect"})));
}

// Removals handled on the service's own loop, one at a time and in order, while a host callback
// holds it; the sink calls a leaving device's work off at once. After a stop nothing reaches the
// host, and what was queued meanwhile waits for the next start.
TEST_F(EventLoopTest, TheLoopKeepsOrderTheSinkStopsADeviceAtOnceAndNothingFollowsAStop)
{
    const Phone x{"18D1", "4EE7", "SERX"}, one{"22B8", "2E76", "SER1"}, two{"04E8", "6860", "SER2"};
    Online({x, one, two});
    const std::string first = Action("FIRST_UNKNOWN");
    for (const std::string& m : {first, Action("DEVICE_ONLINE", "device_info", Phone{"1234", "5678", "ABC"}.Path())})
        service.PostMessage(m);  // before the start: they wait for the loop
    service.SetCallback(&GatedHost);
    g_gate.Set(true);
    service.Start();
    service.PostMessage(Removal(x));
    EXPECT_TRUE(g_gate.WaitPassed());  // a dispatch in progress, inside the host's callback
    const std::string removal = Removal({"22B8", "2E76", "ser1"});
    UsbService::MessageSink(removal.c_str(), static_cast<uint32_t>(removal.size()), &service);
    service.PostMessage(Removal({"04E8", "6860", "ser2"}));
    g_gate.Set(false);
    service.PostMessage(Action("SENTINEL"));
    EXPECT_TRUE(Dispatched(Action("SENTINEL")));
    EXPECT_LT(platform.Log().find(first), platform.Log().find("USB#VID_1234&PID_5678#ABC"));
    EXPECT_TRUE(Fake::MatchesTranscript(
        "busy_removals",
        host.Transcript() + Fake::LinesWith(platform.Log(), {"offline", "remove", "stop all", "cable"})));

    service.Stop();
    service.SendToUi(USB_WM_DEVICE_ONLINE, "{}\n");  // no callback after the stop
    service.PostMessage(Action("AFTER_1"));
    service.PostMessage(Action("AFTER_2"));
    EXPECT_EQ(host.Messages().size(), 3u);
    EXPECT_EQ(platform.Log().find("AFTER_"), std::string::npos);
    service.Start();
    EXPECT_TRUE(Dispatched(Action("AFTER_2")));
    EXPECT_LT(platform.Log().find("AFTER_1"), platform.Log().find("AFTER_2"));
    service.Stop();
}

// A host callback that does not return holds the loop past the stop's bound: the stop returns, and
// the next start's loop takes the messages left once the old one has gone, never both at once.
TEST_F(EventLoopTest, AStopThatTimesOutLeavesTheRestToTheNextStart)
{
    // The loop whose stop timed out may still be leaving when the test ends: its service stays.
    static UsbService* const lasting = new UsbService();
    const Phone phone{"18D1", "4EE7", "SERX"};
    AddToTree(phone);
    std::string list;
    lasting->BuildPhoneList(list);  // reads the whitelist
    g_gate.Set(true);
    lasting->SetCallback(&GatedHost);
    lasting->Start();
    lasting->PostMessage(Action("DEVICE_ONLINE", "device_info", phone.Path()));
    lasting->PostMessage(Action("NEXT"));
    EXPECT_TRUE(g_gate.WaitPassed());  // the loop is in the host's callback
    lasting->Stop();                   // its bounded wait runs out
    EXPECT_EQ(platform.LogCount("the usb service is still busy, the stop does not wait for it\n"), 1u);
    lasting->Start();  // the old loop must not come back to life
    g_gate.Set(false);
    EXPECT_TRUE(Dispatched(Action("NEXT")));
    lasting->Stop();
    EXPECT_EQ(Dispatches(Action("NEXT")), 1u);
}

void USB_CDECL OutOfMemoryHost(int32_t, const char*)
{
    throw std::bad_alloc();
}

struct FailingRegistry : RegistryPort {
    RegistryValue ReadWhiteListValue(std::string&) override { throw std::runtime_error("no memory left"); }
};

TEST_F(EventLoopTest, AFailureInAMessageOrAHelperJobIsLoggedAndTheServiceGoesOn)
{
    const Phone phone{"18D1", "4EE7", "SER1"};
    Online({phone});
    service.SetCallback(&OutOfMemoryHost);
    service.Start();
    service.PostMessage(Removal(phone));
    service.PostMessage(Action("AFTER"));
    EXPECT_TRUE(Dispatched(Action("AFTER")));
    FailingRegistry failing;
    platform.ports.registry = &failing;
    service.StartInit();
    EXPECT_TRUE(Fake::WaitFor([&] { return platform.LogCount("a helper thread failed: no memory left\n") > 0; }));
    service.Stop();
    EXPECT_EQ(Fake::LinesWith(platform.Log(), {"failed", "could not"}),
              "the message could not be handled: std::bad_alloc\na helper thread failed: no memory left\n");
}

TEST_F(EventLoopTest, StartWiresTheListenerOnceAndItsSinkReachesTheService)
{
    platform.ports.createListener = &Fake::Listener::Create;
    service.Start();
    Fake::Listener* listener = Fake::Listener::last;
    if (!listener) {
        service.Stop();
        FAIL() << "no listener was made";
    }
    EXPECT_EQ(listener->context, &service);
    listener->Deliver(Action("SENTINEL"));
    EXPECT_TRUE(Dispatched(Action("SENTINEL")));
    service.Stop();
    service.Start();  // a restart keeps the same listener and its consumer
    EXPECT_EQ(Fake::Listener::last, listener);
    EXPECT_EQ(listener->starts, 2);
    EXPECT_EQ(listener->consumerStarts, 1);
    service.Stop();
}

}  // namespace
}  // namespace PipelineTesting
}  // namespace USB
