// What the service makes of device-tree news, as the host sees it: each flow's host messages
// against its kept transcript (tests/unit/transcripts).
#include <gtest/gtest.h>

#include "fakes/device_scene.h"
#include "fakes/host_recorder.h"
#include "fakes/records.h"
#include "service/service.h"

namespace {

using namespace USB;

std::string Path(const std::string& pid, const std::string& serial)
{
    return "\\\\\\\\?\\\\USB#VID_18D1&PID_" + pid + "#" + serial + "#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
}

class DeviceFlowTest : public ::testing::Test {
protected:
    DeviceFlowTest()
    {
        scene.WriteShippedWhitelist(Fake::FileOf(Fake::Entry("18D1", "4EE2", "Nexus 5", "yes")));
        service.Whitelist().EnsureLoaded();
        service.SetCallback(host.callback());
    }
    // Each message and the flows it starts, to their end.
    void Handle(const std::string& text)
    {
        service.PostMessage(text);
        EXPECT_TRUE(service.RunUntilIdle());
    }
    void Online(const std::string& pid, const std::string& serial)
    {
        Handle("{\"action\":\"DEVICE_ONLINE\",\"device_info\":\"" + Path(pid, serial) + "\"}");
    }
    void Offline(const std::string& pid, const std::string& serial)
    {
        Handle("{\"action\":\"DEVICE_OFFLINE\",\"device_info\":\"" + Path(pid, serial) + "\"}");
    }
    void TreeChanged() { Handle("{\"action\":\"DEVNODES_CHANGED\"}"); }

    Fake::Scene scene;
    Fake::HostRecorder host;
    UsbService service;
};

TEST_F(DeviceFlowTest, WhitelistedNeighbourAndUnknownDevicesArrive)
{
    scene.tree.AddPhone(L"18D1", L"4EE2", L"0123456789ABCDEF", L"x", false);
    scene.tree.AddPhone(L"046D", L"C52B", L"X1");
    Online("4EE2", "0123456789ABCDEF");  // listed, no ADB interface yet: three more looks
    EXPECT_EQ(scene.platform.clock.CountSleeps(1000), 3u);
    Online("4EE2", "0123456789ABCDEF");  // already handled: nothing
    Online("4EE3", "SERIAL9");           // a neighbour of a listed model
    Handle("{\"action\":\"DEVICE_ONLINE\",\"device_info\":\"\\\\\\\\?\\\\USB#VID_046D&PID_C52B#X1\"}");
    EXPECT_TRUE(Fake::MatchesTranscript("arrivals", host.Transcript()));
    EXPECT_EQ(service.Devices().Size(), 2u);
}

TEST_F(DeviceFlowTest, TreeChangesPostNewPhonesAndDropOneAbsentRecordPerChange)
{
    scene.tree.AddPhone(L"18D1", L"4EE2", L"0123456789ABCDEF");
    TreeChanged();  // the new phone's arrival is posted and taken up
    Fake::AddRecord(service.Devices(), "ABSENT01", "18D1", "4EE7", "Gone");
    TreeChanged();  // all present phones are recorded: the absent one stays until no phone is left
    scene.tree.Clear();
    TreeChanged();  // one removal per change
    TreeChanged();
    EXPECT_EQ(service.QueuedMessages(), 0u);
    EXPECT_TRUE(Fake::MatchesTranscript("tree_changes",
                                        host.Transcript() + Fake::LinesWith(scene.platform.Log(), {"has a device"})));
    EXPECT_EQ(service.Devices().Size(), 0u);
}

TEST_F(DeviceFlowTest, APhoneWhoseRecordTookTheAdbSerialLeavesOnceAndItsModelComesBack)
{
    const std::string gone = "WM_DEVICE_OFFLINE {\"b_adbopen\":false,\"b_driver\":false,\"device_desc\":\"Pixel\",";
    for (bool byTreeChange : {false, true}) {
        for (const auto& kv : service.Devices().Snapshot())
            service.Devices().Remove(kv.second);
        host.Clear();
        Fake::AddRecord(service.Devices(), "6&2A1B3C&0&1")->m_serial = "R58M123";  // took the ADB serial
        Fake::AddRecord(service.Devices(), "OTHER01", "18D1", "4EE7");
        for (int i = 0; i < 3; ++i)
            byTreeChange ? TreeChanged() : Offline("4EE2", "6&2A1B3C&0&1");
        // A tree change without any phone present drops one absent record per change.
        EXPECT_EQ(host.Transcript(),
                  gone + "\"device_sn\":\"R58M123\"}\n" + (byTreeChange ? gone + "\"device_sn\":\"OTHER01\"}\n" : ""));
        EXPECT_EQ(service.Devices().Size(), byTreeChange ? 0u : 1u);
    }
    host.Clear();
    scene.tree.AddPhone(L"18D1", L"4EE2", L"NEWSER01", L"x", false);
    Online("4EE2", "NEWSER01");
    EXPECT_EQ(host.Messages().at(0).json, "{\"device_sn\":\"NEWSER01\"}\n");
}

}  // namespace
