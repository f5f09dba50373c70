// The action-message path as the host and the listener drive it: queue, sink, loop, dispatch and
// stop, observed through host messages, records and the log.
#include <gtest/gtest.h>

#include <chrono>
#include <new>
#include <stdexcept>
#include <thread>

#include "fakes/fake_listener.h"
#include "fakes/gate.h"
#include "fakes/fake_platform.h"
#include "fakes/host_recorder.h"
#include "fakes/records.h"
#include "service/service.h"
#include "support/json_utils.h"

namespace {

using namespace USB;

std::string Action(const std::string& action, const std::string& member = "", const Json::Value& value = Json::Value())
{
    Json::Value m(Json::objectValue);
    m["action"] = action;
    if (!member.empty())
        m[member] = value;
    return WriteJson(m);
}
std::string Path(const std::string& vidPid, const std::string& serial)
{
    return "\\\\?\\usb#" + vidPid + "#" + serial + "#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
}
std::string Online(const std::string& serial)
{
    return Action("DEVICE_ONLINE", "device_info", Path("VID_1234&PID_5678", serial));
}
std::string Offline(const std::string& serial, const std::string& vidPid = "VID_18D1&PID_4EE2")
{
    return Action("DEVICE_OFFLINE", "device_info", Path(vidPid, serial));
}
std::string Retry(const std::string& serial, const std::string& command)
{
    return "{\"action\":\"USB_RETRY\",\"device_sn\":\"" + serial + "\"" +
           (command.empty() ? "" : ",\"command\":" + command) + "}";
}
const std::string kDevnodes = Action("DEVNODES_CHANGED");

Fake::Gate g_gate;  // a host callback in progress
void USB_CDECL GatedHost(int32_t id, const char* json)
{
    Fake::HostRecorder::Callback(id, json);
    g_gate.Pass();
}
class EventLoopTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_gate.Set(false);
        g_gate.passed = 0;
        service.SetCallback(host.callback());
    }
    std::vector<std::string> Drain()
    {
        std::vector<std::string> out;
        for (std::string m = service.PopMessage(); !m.empty(); m = service.PopMessage())
            out.push_back(m);
        return out;
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

    Fake::Platform platform;
    Fake::HostRecorder host;
    UsbService service;
};

TEST_F(EventLoopTest, DispatchRules)
{
    DeviceRecord* known = Fake::AddRecord(service.Devices(), "FIRST", "1234", "5678");
    service.PostMessage(kDevnodes);
    service.HandleMessage(Online("first"));  // a device already handled: nothing, not even the queue
    EXPECT_EQ(Drain(), std::vector<std::string>{kDevnodes});

    // A removal drops the tree changes queued behind it, up to a message without action.
    const std::vector<std::string> queued = {kDevnodes,          "not json", kDevnodes, Action("DEVNODES_CHANGED "),
                                             "{\"action\":5}\n", kDevnodes};
    for (const std::string& m : queued)
        service.PostMessage(m);
    service.HandleMessage(Offline("X1", "VID_1234&PID_5678"));
    EXPECT_EQ(Drain(), (std::vector<std::string>{queued[1], queued[3], queued[4], queued[5]}));
    // The removal of another device, unknown actions and broken texts change nothing.
    for (const std::string& text :
         {Offline("OTHER", "VID_1234&PID_5678"), Action("DEVICE_OFFLINE"),
          Action("DEVICE_OFFLINE", "device_info", "ab"), Action("REBOOT_PC", "device_sn", "FIRST"),
          std::string("{\"action\":null}"), std::string("garbage{")})
        service.HandleMessage(text);
    EXPECT_EQ(Dispatches("garbage{"), 1u);
    EXPECT_EQ(host.Transcript(), "");
    EXPECT_EQ(service.Devices().FindBySn("FIRST"), known);

    // The sink drops JSON without a string action and queues everything else.
    for (const char* text : {"{\"action\":7}", "{\"device_sn\":\"A\"}", "[1,2]", "not json", "{\"action\":\"X\"}"})
        UsbService::MessageSink(text, 0, &service);
    UsbService::MessageSink(nullptr, 0, &service);
    UsbService::MessageSink("{\"action\":\"Y\"}", 0, nullptr);
    EXPECT_EQ(Drain(), (std::vector<std::string>{"not json", "{\"action\":\"X\"}"}));
}

TEST_F(EventLoopTest, TheAdbOpenAnswerAlternatesPerDeviceBetweenRetryAndADriverRerun)
{
    DeviceRecord* a = Fake::AddRecord(service.Devices(), "SERA");
    DeviceRecord* b = Fake::AddRecord(service.Devices(), "SERB", "18D1", "4EE3");
    const struct {
        std::string text;
        int a;
        int b;
    } rows[] = {
        {Retry("sera", "11024"), 1, 0},      // the first answer: the retry
        {Retry("sera", "11024"), 0, 0},      // the second: a re-run from the driver check
        {Retry("SERB", "\"11024\""), 0, 1},  // per device; the command as text counts as the number
        {Retry("SERA", "\"11024\""), 1, 1}, {Retry("SERA", "11040"), 1, 1},  // other commands leave the toggle alone
        {Retry("SERA", ""), 1, 1},          {Retry("SERA", "\"abc\""), 1, 1}, {Retry("SERA", "11024.5"), 1, 1},
    };
    for (const auto& row : rows) {
        service.PostMessage(row.text);
        EXPECT_TRUE(service.RunUntilIdle());
        EXPECT_EQ(a->m_adbOpenRetry, row.a) << row.text;
        EXPECT_EQ(b->m_adbOpenRetry, row.b) << row.text;
    }
    EXPECT_TRUE(Fake::MatchesTranscript(
        "usb_retry", host.Transcript() + Fake::LinesWith(platform.Log(), {"adbcmd", "maybe do not", "retry connect"})));
}

TEST_F(EventLoopTest, TheLoopKeepsOrderTheSinkStopsADeviceAtOnceAndNothingFollowsAStop)
{
    const std::string first = Action("FIRST_UNKNOWN");
    for (const std::string& m : {first, Online("ABC")})
        service.PostMessage(m);  // before the start: they wait for the loop
    for (const char* serial : {"SERX", "SER1"})
        Fake::AddRecord(service.Devices(), serial);
    Fake::AddRecord(service.Devices(), "SER2", "18D1", "4EE3");
    service.SetCallback(&GatedHost);
    g_gate.Set(true);
    service.Start();
    service.PostMessage(Offline("SERX"));
    EXPECT_TRUE(g_gate.WaitPassed());  // a dispatch in progress, inside the host's callback
    const std::string removal = Offline("ser1");
    UsbService::MessageSink(removal.c_str(), static_cast<uint32_t>(removal.size()), &service);
    service.PostMessage(Offline("ser2", "VID_18D1&PID_4EE3"));
    g_gate.Set(false);
    service.PostMessage(Action("SENTINEL"));
    EXPECT_TRUE(Dispatched(Action("SENTINEL")));
    EXPECT_LT(platform.Log().find(first), platform.Log().find(Online("ABC")));
    EXPECT_TRUE(Fake::MatchesTranscript(
        "busy_removals",
        host.Transcript() + Fake::LinesWith(platform.Log(), {"offline", "remove", "stop all", "cable"})));
    EXPECT_EQ(service.Devices().Size(), 0u);

    service.Stop();
    service.SendToUi(USB_WM_DEVICE_ONLINE, "{}\n");  // no callback after the stop
    service.PostMessage(Action("AFTER_1"));
    service.PostMessage(Action("AFTER_2"));
    EXPECT_EQ(host.Messages().size(), 3u);
    EXPECT_EQ(Drain(), (std::vector<std::string>{Action("AFTER_1"), Action("AFTER_2")}));
    EXPECT_EQ(platform.Log().find("AFTER_"), std::string::npos);
}

// A host callback that does not return holds the loop past the stop's bound: the stop returns, and
// the next start's loop takes the messages left once the old one has gone, never both at once.
TEST_F(EventLoopTest, AStopThatTimesOutLeavesTheRestToTheNextStart)
{
    // The loop whose stop timed out may still be leaving when the test ends: its service stays.
    static UsbService* const lasting = new UsbService();
    Fake::AddRecord(lasting->Devices(), "SERX");
    g_gate.Set(true);
    lasting->SetCallback(&GatedHost);
    lasting->Start();
    lasting->PostMessage(Offline("SERX"));
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

TEST_F(EventLoopTest, AFailureInAMessageOrAHelperThreadIsLoggedAndTheServiceGoesOn)
{
    Fake::AddRecord(service.Devices(), "SER1");
    service.SetCallback(&OutOfMemoryHost);
    service.Start();
    service.PostMessage(Offline("SER1"));
    service.PostMessage(Action("AFTER"));
    EXPECT_TRUE(Dispatched(Action("AFTER")));
    service.StartHelperThread([] { throw std::runtime_error("no memory left"); });
    Fake::WaitFor([&] { return service.HelperThreadsRunning() == 0; });
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
    listener->Deliver(Offline("SER1"));
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
