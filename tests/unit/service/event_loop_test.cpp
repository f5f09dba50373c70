// The action-message path as the host and the listener drive it: queue, sink, loop and the
// dispatcher's handling of each action, observed through host messages, records and the log.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <new>
#include <stdexcept>
#include <thread>

#include "fakes/fake_listener.h"
#include "fakes/fake_platform.h"
#include "fakes/host_recorder.h"
#include "fakes/test_access.h"
#include "service/USB_Service.h"
#include "support/json_utils.h"

namespace {

using USB::UsbDevice;
using USB::UsbService;

const char kGuid[] = "#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";

std::string DevicePath(const std::string& vidPid, const std::string& serial)
{
    return std::string(R"(\\?\usb#)") + vidPid + "#" + serial + kGuid;
}

std::string Action(const std::string& action, const std::string& member = "", const std::string& value = "")
{
    Json::Value m(Json::objectValue);
    m["action"] = action;
    if (!member.empty())
        m[member] = value;
    return USB::WriteJson(m);
}

std::string Online(const std::string& vidPid, const std::string& serial)
{
    return Action("DEVICE_ONLINE", "device_info", DevicePath(vidPid, serial));
}

std::string Offline(const std::string& vidPid, const std::string& serial)
{
    return Action("DEVICE_OFFLINE", "device_info", DevicePath(vidPid, serial));
}

std::string Retry(const std::string& serial, const Json::Value& command)
{
    Json::Value m(Json::objectValue);
    m["action"] = "USB_RETRY";
    m["device_sn"] = serial;
    if (!command.isNull())
        m["command"] = command;
    return USB::WriteJson(m);
}

const std::string kDevnodes = Action("DEVNODES_CHANGED");

size_t Count(const std::string& text, const std::string& needle)
{
    size_t n = 0;
    for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1))
        ++n;
    return n;
}

// Runs the service's event loop on a thread of its own, as Start does.
class LoopThread {
public:
    explicit LoopThread(UsbService& service) : m_service(service)
    {
        std::shared_ptr<USB::UsbEvent> ended = USB::UsbServiceTestAccess::LoopEnded(service);
        m_thread = std::thread([&service, ended] {
            UsbService::EventLoop(&service);
            ended->Set();
        });
    }
    ~LoopThread() { End(); }
    void End()
    {
        if (!m_thread.joinable())
            return;
        USB::UsbServiceTestAccess::EndLoop(m_service);
        m_thread.join();
    }

private:
    UsbService& m_service;
    std::thread m_thread;
};

class EventLoopTest : public ::testing::Test {
protected:
    void SetUp() override { service.SetCallback(host.callback()); }

    UsbDevice* Seed(const std::string& serial, const std::string& vid = "18D1", const std::string& pid = "4EE2")
    {
        UsbDevice* d = new UsbDevice();
        d->m_pDeviceSn = serial;
        d->m_vid = vid;
        d->m_pid = pid;
        d->m_vidPid = "VID_" + vid + "&PID_" + pid;
        d->m_description = "Pixel";
        EXPECT_EQ(service.Devices().Add(std::unique_ptr<USB::UsbDevice>(d)), 0);
        return d;
    }

    std::vector<std::string> Queue()
    {
        return USB::UsbServiceTestAccess::Queue(service);
    }

    // Waits until the dispatcher has logged `text` (it logs every message it starts).
    bool WaitDispatched(const std::string& text)
    {
        for (int i = 0; i < 5000; ++i) {
            if (USB::Fake::UnixLines(platform.LogText()).find("]: " + text + "\n") != std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    USB::Fake::Platform platform;
    USB::Fake::HostRecorder host;
    UsbService service;
};

// ---- arrivals ---------------------------------------------------------------------------

TEST_F(EventLoopTest, ArrivalOfADeviceAlreadyHandledDoesNothing)
{
    Seed("FIRST");
    service.Track().Clear();
    service.Track() += "earlier-->";
    service.PostMessage(kDevnodes);

    service.HandleMessage(Online("VID_18D1&PID_4EE2", "first"));

    EXPECT_TRUE(host.Messages().empty());
    EXPECT_EQ(service.Track().Text(), "earlier-->");
    EXPECT_EQ(service.Devices().Size(), 1u);
    EXPECT_EQ(Queue(), std::vector<std::string>{kDevnodes});
    EXPECT_EQ(USB::Fake::UnixLines(platform.LogText()).find("this device is not phone"), std::string::npos);
}

TEST_F(EventLoopTest, ArrivalOrRemovalDropsTreeChangesQueuedBehindItUpToAMessageWithoutAction)
{
    const std::string notJson = "not json at all";
    const std::string noAction = "{\"action\":5}\n";
    const std::string lookalike = Action("DEVNODES_CHANGED ");
    for (const std::string& handled : {Online("VID_1234&PID_5678", "X1"), Offline("VID_1234&PID_5678", "X1")}) {
        while (!service.PopMessage().empty()) {
        }
        for (const std::string& m : {kDevnodes, notJson, kDevnodes, lookalike, noAction, kDevnodes})
            service.PostMessage(m);

        service.HandleMessage(handled);

        EXPECT_EQ(Queue(), (std::vector<std::string>{notJson, lookalike, noAction, kDevnodes})) << handled;
    }
}

TEST_F(EventLoopTest, LoopHandlesQueuedMessagesInOrderAndTheArrivalSwallowsLaterTreeChanges)
{
    LoopThread loop(service);
    const std::string first = Action("FIRST_UNKNOWN");
    const std::string online = Online("VID_1234&PID_5678", "ABC");
    {
        USB::UsbMutex hold(USB::UsbServiceTestAccess::ServiceLock(service));  // everything is queued before the loop gets on
        service.PostMessage(first);
        service.PostMessage(online);
        service.PostMessage(kDevnodes);
        service.PostMessage(kDevnodes);
    }

    const std::string sentinel = Action("SENTINEL");
    service.PostMessage(sentinel);
    ASSERT_TRUE(WaitDispatched(sentinel));
    loop.End();

    const std::string log = USB::Fake::UnixLines(platform.LogText());
    const size_t a = log.find("]: " + first + "\n");
    const size_t b = log.find("]: " + online + "\n");
    ASSERT_NE(a, std::string::npos);
    ASSERT_NE(b, std::string::npos);
    EXPECT_LT(a, b);
    EXPECT_EQ(Count(log, "]: " + kDevnodes + "\n"), 0u);
}

// ---- removals ---------------------------------------------------------------------------

TEST_F(EventLoopTest, SinkStopsTheDeviceAtOnceWhileTheLoopIsBusyButAHostMessageDoesNot)
{
    UsbDevice* fromListener = Seed("SER1");
    UsbDevice* fromHost = Seed("SER2", "18D1", "4EE3");
    LoopThread loop(service);
    {
        USB::UsbMutex busy(USB::UsbServiceTestAccess::ServiceLock(service));  // a dispatch in progress
        service.PostMessage(Action("BUSY"));

        auto sink = std::async(std::launch::async, [&] {
            const std::string text = Offline("VID_18D1&PID_4EE2", "ser1");
            UsbService::MessageSink(text.c_str(), static_cast<uint32_t>(text.size()), &service);
        });
        ASSERT_EQ(sink.wait_for(std::chrono::seconds(5)), std::future_status::ready);
        EXPECT_TRUE(fromListener->m_stop);

        service.PostMessage(Offline("VID_18D1&PID_4EE3", "ser2"));
        EXPECT_FALSE(fromHost->m_stop);
        EXPECT_NE(USB::Fake::UnixLines(platform.LogText()).find("stop all operation for the current device, SER1\n"), std::string::npos);
    }
    const std::string sentinel = Action("SENTINEL");
    service.PostMessage(sentinel);
    ASSERT_TRUE(WaitDispatched(sentinel));
    loop.End();

    // Both removals were then handled by the loop: host told, records gone.
    const auto offline = host.WithId(USB_WM_DEVICE_OFFLINE);
    ASSERT_EQ(offline.size(), 2u);
    EXPECT_EQ(offline[0].json, "{\"b_adbopen\":false,\"b_driver\":false,\"device_desc\":\"Pixel\",\"device_sn\":\"SER1\"}\n");
    EXPECT_EQ(offline[1].json, "{\"b_adbopen\":false,\"b_driver\":false,\"device_desc\":\"Pixel\",\"device_sn\":\"SER2\"}\n");
    EXPECT_EQ(service.Devices().Size(), 0u);
    const std::string log = USB::Fake::UnixLines(platform.LogText());
    EXPECT_NE(log.find("had a device remove\n"), std::string::npos);
    EXPECT_NE(log.find("find a new device offline, SER1\n"), std::string::npos);
    EXPECT_EQ(Count(log, "usb cable broken, notify ui WM_CHECK_PHONE_EXTRACT\n"), 2u);
}

TEST_F(EventLoopTest, SinkDropsJsonWithoutStringActionButQueuesEverythingElse)
{
    for (const char* text : {"{\"action\":7}", "{\"device_sn\":\"A\"}", "[1,2]", "not json", "{\"action\":\"X\"}"})
        UsbService::MessageSink(text, 0, &service);
    UsbService::MessageSink(nullptr, 0, &service);
    UsbService::MessageSink("{\"action\":\"Y\"}", 0, nullptr);
    EXPECT_EQ(Queue(), (std::vector<std::string>{"not json", "{\"action\":\"X\"}"}));
}

TEST_F(EventLoopTest, RemovalOfAnUnknownDeviceSendsNothing)
{
    Seed("SER1");
    service.HandleMessage(Offline("VID_18D1&PID_4EE2", "OTHER"));
    service.HandleMessage(Action("DEVICE_OFFLINE"));
    service.HandleMessage(Action("DEVICE_OFFLINE", "device_info", "ab"));
    EXPECT_TRUE(host.Messages().empty());
    EXPECT_EQ(service.Devices().Size(), 1u);
}

// ---- host commands ----------------------------------------------------------------------

TEST_F(EventLoopTest, AdbOpenAnswerAlternatesPerDeviceBetweenRetryAndDriverRerun)
{
    UsbDevice* a = Seed("SERA");
    UsbDevice* b = Seed("SERB", "18D1", "4EE3");
    const std::string rerunLog = "step:0->notify ui to retry connect the phone...\n";

    service.HandleMessage(Retry("sera", 11024));  // first answer: the retry operation
    EXPECT_EQ(a->m_adbOpenRetry, 1);
    EXPECT_EQ(Count(USB::Fake::UnixLines(platform.LogText()), rerunLog), 0u);
    EXPECT_TRUE(host.WithId(USB_WM_TRY_CONNECT_PHONE).empty());

    service.HandleMessage(Retry("sera", 11024));  // second: re-run from the driver check
    EXPECT_EQ(a->m_adbOpenRetry, 0);
    EXPECT_EQ(Count(USB::Fake::UnixLines(platform.LogText()), rerunLog), 1u);
    const auto tries = host.WithId(USB_WM_TRY_CONNECT_PHONE);
    ASSERT_EQ(tries.size(), 1u);
    EXPECT_EQ(tries[0].json, "{\"device_sn\":\"SERA\"}\n");
    EXPECT_EQ(service.Track().Text().rfind("date=", 0), 0u);
    EXPECT_NE(service.Track().Text().find("&vid=18D1&pid=4EE2&sn=SERA&desc=Pixel&process=retry-->checkdriver-->"),
              std::string::npos);

    // The other device keeps its own toggle; the command as text counts as the number.
    service.HandleMessage(Retry("SERB", "11024"));
    EXPECT_EQ(b->m_adbOpenRetry, 1);
    EXPECT_EQ(a->m_adbOpenRetry, 0);
    service.HandleMessage(Retry("SERA", "11024"));
    EXPECT_EQ(a->m_adbOpenRetry, 1);
    EXPECT_EQ(Count(USB::Fake::UnixLines(platform.LogText()), "adbcmd 11024, cmd 11024\n"), 4u);
    EXPECT_EQ(Count(USB::Fake::UnixLines(platform.LogText()), "the adb debug maybe do not open\n"), 4u);
}

TEST_F(EventLoopTest, OtherRetryCommandsLeaveTheToggleAlone)
{
    UsbDevice* a = Seed("SERA");
    service.HandleMessage(Retry("SERA", 11040));
    service.HandleMessage(Retry("SERA", Json::Value()));
    service.HandleMessage(Retry("SERA", "abc"));
    service.HandleMessage(Retry("SERA", 11024.5));
    EXPECT_EQ(a->m_adbOpenRetry, 0);
    const std::string log = USB::Fake::UnixLines(platform.LogText());
    // Once by the dispatcher and once by the retry it runs.
    EXPECT_EQ(Count(log, "USB_RETRY........\n"), 8u);
    EXPECT_EQ(Count(log, "adbcmd 11024, cmd 11040\n"), 1u);
    EXPECT_EQ(Count(log, "adbcmd 11024, cmd 0\n"), 3u);
    EXPECT_NE(log.find("_msg is " + Retry("SERA", 11040) + "\n"), std::string::npos);
    EXPECT_EQ(log.find("the adb debug maybe do not open"), std::string::npos);
}

TEST_F(EventLoopTest, UnknownActionsAndBrokenTextsAreLoggedAndIgnored)
{
    Seed("SER1");
    service.PostMessage(kDevnodes);
    for (const std::string& text : {Action("REBOOT_PC", "device_sn", "SER1"), std::string("{\"action\":null}"),
                                    std::string("garbage{")})
        service.HandleMessage(text);
    const std::string log = USB::Fake::UnixLines(platform.LogText());
    EXPECT_NE(log.find("]: " + Action("REBOOT_PC", "device_sn", "SER1") + "\n"), std::string::npos);
    EXPECT_NE(log.find("]: garbage{\n"), std::string::npos);
    EXPECT_TRUE(host.Messages().empty());
    EXPECT_EQ(Queue(), std::vector<std::string>{kDevnodes});
    EXPECT_EQ(service.Devices().Size(), 1u);
}

// ---- stop -------------------------------------------------------------------------------

TEST_F(EventLoopTest, AfterStopQueuedMessagesStayQueued)
{
    LoopThread loop(service);
    const std::string before = Action("BEFORE");
    service.PostMessage(before);
    ASSERT_TRUE(WaitDispatched(before));

    EXPECT_EQ(service.Stop(), 0);
    service.PostMessage(Action("AFTER_1"));
    service.PostMessage(Action("AFTER_2"));
    loop.End();

    EXPECT_EQ(Queue(), (std::vector<std::string>{Action("AFTER_1"), Action("AFTER_2")}));
    EXPECT_EQ(USB::Fake::UnixLines(platform.LogText()).find("AFTER_"), std::string::npos);
}

TEST_F(EventLoopTest, AMessageTakenJustBeforeAStopGoesBackToTheFrontOfTheQueue)
{
    LoopThread loop(service);
    {
        USB::UsbMutex busy(USB::UsbServiceTestAccess::ServiceLock(service));
        service.PostMessage(Action("TAKEN"));
        service.PostMessage(Action("NEXT"));
        for (int i = 0; i < 5000 && service.QueuedMessages() != 1; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_EQ(service.QueuedMessages(), 1u);  // the loop holds TAKEN and waits for the lock
        USB::UsbServiceTestAccess::SetStop(service, true);
    }
    loop.End();
    EXPECT_EQ(Queue(), (std::vector<std::string>{Action("TAKEN"), Action("NEXT")}));
    EXPECT_EQ(USB::Fake::UnixLines(platform.LogText()).find("TAKEN"), std::string::npos);
}

TEST_F(EventLoopTest, ALoopWhoseStopTimedOutEndsWhenTheServiceRestarts)
{
    service.Start();
    std::shared_ptr<USB::UsbEvent> firstLoopEnded = USB::UsbServiceTestAccess::LoopEnded(service);
    {
        USB::UsbMutex busy(USB::UsbServiceTestAccess::ServiceLock(service));
        service.PostMessage(Action("TAKEN"));
        for (int i = 0; i < 5000 && service.QueuedMessages() != 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_EQ(service.QueuedMessages(), 0u);  // the first loop holds TAKEN and waits for the lock
        EXPECT_EQ(service.Stop(), 0);             // its bounded wait runs out
        service.Start();
    }
    EXPECT_TRUE(firstLoopEnded->Wait(5000));  // the old loop gave up instead of running on
    ASSERT_TRUE(WaitDispatched(Action("TAKEN")));
    EXPECT_EQ(Count(USB::Fake::UnixLines(platform.LogText()), "]: " + Action("TAKEN")), 1u);
    service.Stop();
}

void USB_CDECL OutOfMemoryHost(int32_t, const char*)
{
    throw std::bad_alloc();
}

TEST_F(EventLoopTest, AFailureInAMessageOrAHelperThreadIsLoggedAndTheServiceGoesOn)
{
    Seed("SER1");
    service.SetCallback(&OutOfMemoryHost);
    LoopThread loop(service);
    service.PostMessage(Offline("VID_18D1&PID_4EE2", "SER1"));
    const std::string after = Action("AFTER");
    service.PostMessage(after);
    ASSERT_TRUE(WaitDispatched(after));

    service.StartHelperThread([] { throw std::runtime_error("no memory left"); });
    for (int i = 0; i < 5000 && service.HelperThreadsRunning() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const std::string log = USB::Fake::UnixLines(platform.LogText());
    EXPECT_NE(log.find("]: the message could not be handled: std::bad_alloc\n"), std::string::npos) << log;
    EXPECT_NE(log.find("]: a helper thread failed: no memory left\n"), std::string::npos) << log;
}

// ---- wiring of the listener -------------------------------------------------------------

TEST_F(EventLoopTest, StartWiresTheListenerOnceAndItsSinkReachesTheService)
{
    platform.ports.createListener = &USB::Fake::Listener::Create;
    service.Start();
    USB::Fake::Listener* listener = USB::Fake::Listener::last;
    ASSERT_NE(listener, nullptr);
    EXPECT_EQ(listener->starts, 1);
    EXPECT_EQ(listener->consumerStarts, 1);
    EXPECT_EQ(listener->context, &service);

    UsbDevice* device = Seed("SER1");
    {
        USB::UsbMutex busy(USB::UsbServiceTestAccess::ServiceLock(service));
        listener->Deliver(Offline("VID_18D1&PID_4EE2", "SER1"));
        EXPECT_TRUE(device->m_stop);
    }
    const std::string sentinel = Action("SENTINEL");
    service.PostMessage(sentinel);
    ASSERT_TRUE(WaitDispatched(sentinel));
    EXPECT_EQ(host.WithId(USB_WM_DEVICE_OFFLINE).size(), 1u);

    service.Stop();
    service.Start();  // a restart keeps the same listener and its consumer
    EXPECT_EQ(USB::Fake::Listener::last, listener);
    EXPECT_EQ(listener->starts, 2);
    EXPECT_EQ(listener->consumerStarts, 1);
    service.Stop();
}

}  // namespace
