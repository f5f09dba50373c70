// Steps 1 to 4 of a phone as the host sees them: messages, payloads, log lines, track records.
#include "pipeline_fixture.h"

#include "support/sys_utils.h"

namespace USB {
namespace PipelineTesting {
namespace {

using ConnectionTest = PipelineTest;

TEST_F(ConnectionTest, ListedPhoneGoesOnline)
{
    UsbDevice* phone = AddPhone("ABC123");
    bridge.Script({"List of devices attached\nABC123\tdevice\n"});
    EXPECT_EQ(service.Pipeline().CheckAdbConnection(phone), -1);
    const std::string d = DevicePayload("ABC123", "Pixel", true, false);
    EXPECT_EQ(ui.Messages(), (std::vector<std::pair<int, std::string>>{{USB_WM_CHECKING_ADB_CONNECTING, d},
                                                                       {USB_WM_CHECKING_ADB_DEVICE_STATUS, d},
                                                                       {USB_WM_DEVICE_ONLINE, d}}));
    const std::string log = WithoutCr(platform.LogText());
    const size_t step3 = log.find("step:3->notify ui to check the adb CONNECTING...\n");
    const size_t step4 = log.find("step:4->check if the apk was installed?\n");
    ASSERT_NE(step3, std::string::npos);
    ASSERT_NE(step4, std::string::npos);
    EXPECT_LT(step3, step4);
    EXPECT_TRUE(platform.clock.Sleeps().empty());
}

TEST_F(ConnectionTest, MadeUpSerialIsReplacedByTheOnlyListedPhone)
{
    UsbDevice* phone = AddPhone("6&2A1B3C4D&0&1");
    bridge.Script({"", "R58M123\tdevice\n"});
    service.Pipeline().CheckAdbConnection(phone);
    EXPECT_EQ(phone->m_pDeviceSn, "R58M123");
    EXPECT_EQ(phone->m_systemSn, "6&2A1B3C4D&0&1");
    EXPECT_EQ(platform.clock.CountSleeps(1000), 1u);
    const std::string d = DevicePayload("R58M123", "Pixel", true, false);
    EXPECT_EQ(ui.Ids(), (std::vector<int>{USB_WM_CHECKING_ADB_CONNECTING, USB_WM_CHECKING_ADB_DEVICE_STATUS,
                                          USB_WM_DEVICE_ONLINE}));
    EXPECT_EQ(ui.Messages().back().second, d);
    const std::string log = WithoutCr(platform.LogText());
    EXPECT_NE(log.find("this system sn has error\n"), std::string::npos);
    EXPECT_NE(log.find("the system is not the same serial number as the adbserver, we need to change it according "
                       "to the adbserver\n"),
              std::string::npos);
}

TEST_F(ConnectionTest, MadeUpSerialWithTwoListedPhonesGivesUpAfterFiveSeconds)
{
    UsbDevice* phone = AddPhone("6&2A1B3C4D&0&1");
    bridge.Script({"X1\tdevice\nX2\tdevice\n"});
    service.Pipeline().CheckAdbConnection(phone);
    EXPECT_EQ(bridge.listings, 5);
    EXPECT_EQ(platform.clock.CountSleeps(1000), 5u);
    EXPECT_EQ(phone->m_pDeviceSn, "6&2A1B3C4D&0&1");
    EXPECT_NE(WithoutCr(platform.LogText()).find("wait 15 soconds, no find 6&2A1B3C4D&0&1\n"), std::string::npos);
}

TEST_F(ConnectionTest, TheOnlyListedSerialIsTakenOnlyWhenNoOtherPluggedDeviceHasIt)
{
    const struct {
        const char* windows;
        const char* listed;
        const char* otherDevice;  // another plugged phone's serial, "" for none
        const char* after;
    } rows[] = {
        {"AAAA0001", "BBBB0002", "", "BBBB0002"},
        {"AAAA0001", "BBBB0002", "BBBB0002", "AAAA0001"},
        {"6&2A1B3C&0&1", "R58M123", "", "R58M123"},
        {"6&2A1B3C&0&1", "bbbb0002", "BBBB0002", "6&2A1B3C&0&1"},
    };
    for (const auto& row : rows) {
        for (const auto& kv : service.Devices().Snapshot())
            service.Devices().Remove(kv.second);
        tree.Clear();
        ui.Clear();
        tree.AddPhone(L"18D1", L"4EE7", NarrowToWide(row.windows));
        if (*row.otherDevice)
            tree.AddPhone(L"22B8", L"2E76", NarrowToWide(row.otherDevice));
        UsbDevice* phone = AddPhone(row.windows);
        bridge.Script({std::string(row.listed) + "\tdevice\n"});
        service.Pipeline().CheckAdbConnection(phone);
        EXPECT_EQ(phone->m_pDeviceSn, row.after) << row.windows << " " << row.otherDevice;
        EXPECT_EQ(ui.Count(USB_WM_DEVICE_ONLINE), *row.otherDevice ? 0u : 1u) << row.windows << " " << row.otherDevice;
    }
}

TEST_F(ConnectionTest, AnotherDeviceLeavingDuringTheListingWaitStopsNothing)
{
    UsbDevice* phone = AddPhone("ABC123");
    bridge.Script({"", "", "ABC123\tdevice\n"});
    bridge.beforeListing = [&](int call) {
        if (call == 1)
            UsbService::MessageSink(
                "{\"action\":\"DEVICE_OFFLINE\",\"device_info\":\"\\\\\\\\?\\\\USB#VID_1234&PID_5679#MOUSE01#{a5dcbf10-6530-11d2-901f-00c04fb951ed}\"}",
                0, &service);
    };
    service.Pipeline().CheckAdbConnection(phone);
    EXPECT_EQ(ui.Ids().back(), USB_WM_DEVICE_ONLINE);
    EXPECT_EQ(WithoutCr(platform.LogText()).find("this device had been pluged out"), std::string::npos);
}

TEST_F(ConnectionTest, UnknownStateIsAskedTenTimesWithoutWaiting)
{
    UsbDevice* phone = AddPhone("ABC123");
    bridge.Script({"ABC123\tunauthorized\n"});
    service.Pipeline().CheckAdbConnection(phone);
    EXPECT_EQ(bridge.listings, 10);
    EXPECT_TRUE(platform.clock.Sleeps().empty());
    EXPECT_EQ(ui.Ids(), (std::vector<int>{USB_WM_CHECKING_ADB_CONNECTING, USB_WM_CHECKING_ADB_DEVICE_STATUS}));
    EXPECT_EQ(Occurrences(WithoutCr(platform.LogText()), "unkown status..\n"), 1u);
    EXPECT_TRUE(platform.TrackText().empty());
}

TEST_F(ConnectionTest, OfflinePhoneIsRecheckedThenReportedToTheFileOnly)
{
    Fake::RelayRecorder relay;
    UsbDevice* phone = AddPhone("ABC123");
    service.Track().Clear();
    service.Track() += "head&process=checkadb-->";
    bridge.Script({"ABC123\toffline\n"});
    service.Pipeline().CheckAdbConnection(phone);
    EXPECT_EQ(bridge.listings, 10);
    EXPECT_EQ(platform.clock.Sleeps(), std::vector<uint32_t>(10, 200));
    EXPECT_EQ(Occurrences(WithoutCr(platform.LogText()), "the device status is offline, recheck...\n"), 10u);
    EXPECT_NE(WithoutCr(platform.LogText()).find("notify ui this device is offline, need to restart the adbd of the phone\n"),
              std::string::npos);
    EXPECT_EQ(ui.Ids(), (std::vector<int>{USB_WM_CHECKING_ADB_CONNECTING, USB_WM_CHECKING_ADB_DEVICE_STATUS,
                                          USB_WM_PHONE_ADBDEBUG_EXCEPTION}));
    EXPECT_EQ(LastTrackLine(), "head&process=checkadb-->ADB_CHECK_DEVICE_OFFLINE");
    EXPECT_TRUE(relay.sent.empty());
}

TEST_F(ConnectionTest, OfflineThenOnlineEndsOnline)
{
    UsbDevice* phone = AddPhone("ABC123");
    bridge.Script({"ABC123\toffline\n", "ABC123\toffline\n", "ABC123\tdevice\n"});
    service.Pipeline().CheckAdbConnection(phone);
    EXPECT_EQ(platform.clock.Sleeps(), (std::vector<uint32_t>{200, 200}));
    EXPECT_EQ(ui.Ids().back(), USB_WM_DEVICE_ONLINE);
}

TEST_F(ConnectionTest, UnplugWhileWaitingAsksTheHostToRescan)
{
    Fake::RelayRecorder relay;
    UsbDevice* phone = AddPhone("ABC123");
    service.Track().Clear();
    service.Track() += "head&process=checkadb-->";
    bridge.Script({"X1\tdevice\nX2\tdevice\n"});
    // During the second listing Windows reports the phone gone; the sink marks the record.
    bridge.beforeListing = [&](int call) {
        if (call == 2)
            UsbService::MessageSink(
                "{\"action\":\"DEVICE_OFFLINE\",\"device_info\":\"\\\\\\\\?\\\\USB#VID_18D1&PID_4EE7#ABC123#{a5dcbf10-6530-11d2-901f-00c04fb951ed}\"}",
                0, &service);
    };
    service.Pipeline().CheckAdbConnection(phone);
    EXPECT_EQ(bridge.listings, 2);
    EXPECT_EQ(platform.clock.CountSleeps(1000), 2u);
    EXPECT_FALSE(phone->m_stop);
    const std::string log = WithoutCr(platform.LogText());
    EXPECT_NE(log.find("this device had been pluged out\n"), std::string::npos);
    EXPECT_NE(log.find("wait 15 soconds, no find ABC123\n"), std::string::npos);
    EXPECT_NE(log.find("phone is not exist\n"), std::string::npos);
    EXPECT_EQ(ui.Messages(), (std::vector<std::pair<int, std::string>>{
                                 {USB_WM_CHECKING_ADB_CONNECTING, DevicePayload("ABC123", "Pixel", true, false)},
                                 {USB_WM_RESCAN_PHONE_BYADB, DevicePayload("ABC123", "Pixel", true, false)}}));
    EXPECT_EQ(LastTrackLine(), "head&process=checkadb-->ADB_CHECK_ADBSERVER_EXCEPTION");
    EXPECT_EQ(relay.sent, std::vector<std::string>{"head&process=checkadb-->ADB_CHECK_ADBSERVER_EXCEPTION"});
    EXPECT_EQ(service.QueuedMessages(), 1u);  // the removal itself is still queued for the loop
}

TEST_F(ConnectionTest, TwoOtherPhonesEndInTheNotFoundPathAfterFifteenSeconds)
{
    UsbDevice* phone = AddPhone("ABC123");
    bridge.Script({"X1\tdevice\nX2\tdevice\n"});
    service.Pipeline().CheckAdbConnection(phone);
    EXPECT_EQ(bridge.listings, 15);
    EXPECT_EQ(platform.clock.CountSleeps(1000), 15u);
    EXPECT_NE(WithoutCr(platform.LogText()).find("wait 15 soconds, no find ABC123\n"), std::string::npos);
    EXPECT_EQ(ui.Ids(), (std::vector<int>{USB_WM_CHECKING_ADB_CONNECTING, USB_WM_RESCAN_PHONE_BYADB}));
}

TEST_F(ConnectionTest, AdbDebugOffIsRecordedAndRelayedBeforeTheHostIsAsked)
{
    Fake::RelayRecorder relay;
    size_t messagesWhenRelayed = 99;
    relay.onSend = [&](const std::string&) { messagesWhenRelayed = ui.Messages().size(); };
    UsbDevice* phone = AddPhone("ABC123", false);
    service.Track().Start("18D1", "4EE7", "ABC123", "Pixel");
    service.Track() += "checkadbdebug-->";
    const std::string expected = service.Track().Text() + "dmfail-->";
    EXPECT_EQ(service.Pipeline().CheckConnection(phone), -1);
    EXPECT_EQ(LastTrackLine(), expected);
    EXPECT_EQ(relay.sent, std::vector<std::string>{expected});
    EXPECT_EQ(messagesWhenRelayed, 0u);
    EXPECT_EQ(ui.Messages(), (std::vector<std::pair<int, std::string>>{
                                 {USB_WM_ADB_OPEN, DevicePayload("ABC123", "Pixel", false, false)}}));
    EXPECT_NE(WithoutCr(platform.LogText()).find("notify ui the adb debug do not open\n"), std::string::npos);
    EXPECT_EQ(service.Pipeline().DownloadDevice(), nullptr);
    EXPECT_EQ(bridge.listings, 0);
}

TEST_F(ConnectionTest, RetryOfUnknownSerialDoesNothing)
{
    service.Pipeline().RetryDevice("NOPE");
    EXPECT_TRUE(ui.Messages().empty());
    EXPECT_NE(WithoutCr(platform.LogText()).find("USB_RETRY........\n"), std::string::npos);
}

TEST_F(ConnectionTest, RetryStartsAFreshTrailAndRunsTheChecks)
{
    Fake::RelayRecorder relay;
    AddPhone("ABC123", false);
    service.Track().Clear();
    service.Track() += "old-->";
    service.Pipeline().RetryDevice("ABC123");
    EXPECT_EQ(relay.sent, std::vector<std::string>{"retry-->dmfail-->"});
    EXPECT_EQ(ui.Ids(), std::vector<int>{USB_WM_ADB_OPEN});
}

TEST_F(ConnectionTest, RetryProbesOnlyItsOwnDevice)
{
    tree.AddPhone(L"18D1", L"4EE7", L"AAAA0001", L"Pixel", false);  // USB debugging still off
    tree.AddPhone(L"18D1", L"4EE7", L"BBBB0002", L"Pixel");         // another phone of the model
    UsbDevice* phone = AddPhone("AAAA0001", false);
    service.Pipeline().RetryDevice("AAAA0001");
    EXPECT_EQ(ui.Messages(), (std::vector<std::pair<int, std::string>>{
                                 {USB_WM_ADB_OPEN, DevicePayload("AAAA0001", "Pixel", false, false)}}));

    tree.RemoveMatching(L"AAAA0001");
    tree.AddPhone(L"18D1", L"4EE7", L"AAAA0001", L"Pixel");  // switched on
    service.Pipeline().RetryDevice("AAAA0001");
    EXPECT_TRUE(phone->m_isAdbOpen);
    EXPECT_EQ(ui.Messages()[1].second.find("\"device_sn\":\"BBBB0002\""), std::string::npos);
}

TEST_F(ConnectionTest, SerialConflictOnlyWhenAnotherDeviceHoldsTheSerial)
{
    auto adb = [](const wchar_t* parent) {
        PhoneSystemInfo* info = new PhoneSystemInfo();
        info->_phone_sn_instance_id = parent;
        info->m_description = L"ADB Interface";
        return info;
    };
    PhoneSystemInfo phone;
    std::vector<PhoneSystemInfo*> own = {adb(L"USB#VID_18D1&PID_4EE7#AAAA0001"), adb(L"USB#VID_18D1&PID_4EE7#AAAA0001")};
    service.Pipeline().RegisterAdbInterfaces(phone, own);  // a phone with two ADB interfaces
    EXPECT_EQ(service.Devices().Size(), 1u);
    EXPECT_TRUE(ui.Messages().empty());

    std::vector<PhoneSystemInfo*> other = {adb(L"USB#VID_22B8&PID_2E76#AAAA0001")};
    service.Pipeline().RegisterAdbInterfaces(phone, other);
    EXPECT_EQ(ui.Messages(), (std::vector<std::pair<int, std::string>>{
                                 {USB_WM_PHONE_SN_CONFLICT, "{\"device_desc\":\"ADB Interface\",\"device_sn\":\"AAAA0001\"}\n"}}));
    for (PhoneSystemInfo* info : own)
        delete info;
    delete other[0];
}

TEST_F(ConnectionTest, HostRetryAfterAdbOpenAlternatesBetweenTheTwoForms)
{
    Fake::RelayRecorder relay;
    UsbDevice* phone = AddPhone("ABC123", false);
    const std::string retry = "{\"action\":\"USB_RETRY\",\"command\":\"11024\",\"device_sn\":\"ABC123\"}";
    service.HandleMessage(retry);  // first answer: full retry, the debug check runs again
    EXPECT_EQ(phone->m_adbOpenRetry, 1);
    EXPECT_EQ(ui.Ids(), std::vector<int>{USB_WM_ADB_OPEN});
    ui.Clear();
    service.HandleMessage(retry);  // second answer: step 0 again, straight to the driver check
    EXPECT_EQ(phone->m_adbOpenRetry, 0);
    ASSERT_FALSE(ui.Ids().empty());
    EXPECT_EQ(ui.Messages()[0], std::make_pair(int(USB_WM_TRY_CONNECT_PHONE), std::string("{\"device_sn\":\"ABC123\"}\n")));
    EXPECT_EQ(ui.Count(USB_WM_ADB_OPEN), 0u);
}

TEST_F(ConnectionTest, ArrivalChainReachesOnlineWithItsTrackTrail)
{
    // Step 2 passes: Windows shows the phone's ADB driver interface.
    ShowAdbInterface();
    UsbDevice* phone = AddPhone("ABC123");
    bridge.Script({"List of devices attached\nABC123\tdevice\n"});
    service.Track().Start("18D1", "4EE7", "ABC123", "Pixel");
    service.Track() += "checkadbdebug-->";
    const std::string header = service.Track().Text();
    EXPECT_EQ(service.Pipeline().CheckConnection(phone), -1);
    EXPECT_EQ(ui.Ids(), (std::vector<int>{USB_WM_CHECKING_ADB_DRIVER, USB_WM_CHECKING_ADB_CONNECTING,
                                          USB_WM_CHECKING_ADB_DEVICE_STATUS, USB_WM_DEVICE_ONLINE}));
    const std::string& trail = service.Track().Text();
    ASSERT_EQ(trail.compare(0, header.size(), header), 0);
    EXPECT_EQ(trail.substr(header.size(), std::string("dmok-->checkdriver-->").size()), "dmok-->checkdriver-->");
    EXPECT_EQ(trail.substr(trail.size() - std::string("driverok-->checkadb-->").size()), "driverok-->checkadb-->");
    const std::string log = WithoutCr(platform.LogText());
    EXPECT_LT(log.find("this device's adbdebug ok\n"), log.find("this device's driver ok\n"));
    EXPECT_EQ(service.Pipeline().DownloadDevice(), nullptr);
}

}  // namespace
}  // namespace PipelineTesting
}  // namespace USB
