// What the event loop makes of device-tree news: an arriving phone is announced and
// recorded; a tree change posts new phones and drops phones that left.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "fakes/device_scene.h"
#include "service/USB_Service.h"

namespace {

using USB::Fake::Entry;
using USB::Fake::FileOf;

std::vector<std::pair<int, std::string>> g_messages;

void USB_CDECL Capture(int32_t id, const char* json)
{
    g_messages.emplace_back(id, json ? json : "");
}

class DeviceArrivalTest : public ::testing::Test {
protected:
    DeviceArrivalTest()
    {
        g_messages.clear();
        scene.WriteShippedWhitelist(FileOf(Entry("18D1", "4EE2", "Nexus 5", "yes")));
        service.Whitelist().LoadBuiltInVendors();
        service.Whitelist().LoadWhiteListFromFile();
        service.SetCallback(&Capture);
    }

    void Online(const std::string& path)
    {
        service.HandleMessage("{\"action\":\"DEVICE_ONLINE\",\"device_info\":\"" + path + "\"}");
    }

    USB::UsbDevice* Record(const std::string& serial, const std::string& pid)
    {
        auto* record = new USB::UsbDevice();
        record->m_pDeviceSn = serial;
        record->m_vid = "18D1";
        record->m_pid = pid;
        record->m_vidPid = "VID_18D1&PID_" + pid;
        EXPECT_EQ(service.Devices().Add(std::unique_ptr<USB::UsbDevice>(record)), 0);
        return record;
    }

    // The serial each host message names, in order.
    static std::vector<std::string> Serials()
    {
        std::vector<std::string> out;
        for (const auto& m : g_messages) {
            const size_t at = m.second.find("\"device_sn\":\"");
            out.push_back(at == std::string::npos ? "" : m.second.substr(at + 13, m.second.find('"', at + 13) - at - 13));
        }
        return out;
    }

    USB::Fake::Scene scene;
    USB::UsbService service;
};

TEST_F(DeviceArrivalTest, WhitelistedPhoneIsAnnouncedAndRecorded)
{
    scene.tree.AddPhone(L"18D1", L"4EE2", L"0123456789ABCDEF", L"x", false);
    Online("\\\\\\\\?\\\\USB#VID_18D1&PID_4EE2#0123456789ABCDEF");

    ASSERT_GE(g_messages.size(), 2u);
    EXPECT_EQ(g_messages[0], std::make_pair(int(USB_WM_TRY_CONNECT_PHONE), std::string("{\"device_sn\":\"0123456789ABCDEF\"}\n")));
    EXPECT_EQ(g_messages[1], std::make_pair(int(USB_WM_CHECKING_ADBMODE), std::string("{\"device_sn\":\"0123456789ABCDEF\"}\n")));
    USB::UsbDevice* record = service.Devices().FindBySn("0123456789ABCDEF");
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->m_vidPid, "VID_18D1&PID_4EE2");
    EXPECT_EQ(record->m_description, "Nexus 5");
    EXPECT_TRUE(record->m_fromList);
    // No ADB interface yet: three more looks, one second apart, before the whitelist record.
    EXPECT_EQ(scene.platform.clock.CountSleeps(1000), 3u);
    EXPECT_EQ(scene.LogCount("this device is a phone by quering the whitelist\n"), 1u);

    g_messages.clear();
    Online("\\\\\\\\?\\\\USB#VID_18D1&PID_4EE2#0123456789ABCDEF");
    EXPECT_TRUE(g_messages.empty());
    EXPECT_EQ(service.Devices().Size(), 1u);
}

TEST_F(DeviceArrivalTest, NeighbourOfAListedPhoneIsRecordedWithAdbClosed)
{
    Online("\\\\\\\\?\\\\USB#VID_18D1&PID_4EE3#SERIAL9");
    ASSERT_GE(g_messages.size(), 2u);
    EXPECT_EQ(g_messages[0].first, USB_WM_TRY_CONNECT_PHONE);
    EXPECT_EQ(g_messages[1].first, USB_WM_CHECKING_ADBMODE);
    USB::UsbDevice* record = service.Devices().FindBySn("SERIAL9");
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->m_vidPid, "VID_18D1&PID_4EE3");
    EXPECT_FALSE(record->m_isAdbOpen);
}

TEST_F(DeviceArrivalTest, UnknownDeviceIsNotAPhone)
{
    scene.tree.AddPhone(L"046D", L"C52B", L"X1");
    Online("\\\\\\\\?\\\\USB#VID_046D&PID_C52B#X1");
    EXPECT_TRUE(g_messages.empty());
    EXPECT_TRUE(service.Devices().Empty());
    EXPECT_EQ(scene.LogCount("this device is not phone\n"), 1u);
}

TEST_F(DeviceArrivalTest, TreeChangePostsANewPhoneAndDropsOneThatLeft)
{
    scene.tree.AddPhone(L"18D1", L"4EE2", L"0123456789ABCDEF");
    service.HandleMessage("{\"action\":\"DEVNODES_CHANGED\"}");
    EXPECT_EQ(scene.LogCount("has a device arrive------------------\n"), 1u);
    EXPECT_EQ(service.PopMessage(),
              "{\"action\":\"DEVICE_ONLINE\",\"device_info\":\"\\\\\\\\?\\\\USB#VID_18D1&PID_4EE2#0123456789ABCDEF\"}\n");

    auto* record = new USB::UsbDevice();
    record->m_pDeviceSn = "0123456789ABCDEF";
    record->m_vid = "18D1";
    record->m_pid = "4EE2";
    record->m_vidPid = "VID_18D1&PID_4EE2";
    record->m_description = "Nexus 5";
    ASSERT_EQ(service.Devices().Add(std::unique_ptr<USB::UsbDevice>(record)), 0);
    service.HandleMessage("{\"action\":\"DEVNODES_CHANGED\"}");
    EXPECT_EQ(service.QueuedMessages(), 0u);
    EXPECT_TRUE(g_messages.empty());

    scene.tree.Clear();
    service.HandleMessage("{\"action\":\"DEVNODES_CHANGED\"}");
    EXPECT_EQ(scene.LogCount("has a device remove---------------------\n"), 1u);
    ASSERT_EQ(g_messages.size(), 1u);
    EXPECT_EQ(g_messages[0].first, USB_WM_DEVICE_OFFLINE);
    EXPECT_EQ(g_messages[0].second,
              "{\"b_adbopen\":false,\"b_driver\":false,\"device_desc\":\"Nexus 5\",\"device_sn\":\"0123456789ABCDEF\"}\n");
    EXPECT_TRUE(service.Devices().Empty());
}

TEST_F(DeviceArrivalTest, TwoPhonesOfOneModelEachRunTheirOwnFlow)
{
    scene.tree.AddPhone(L"18D1", L"4EE2", L"AAAA0001");
    scene.tree.AddPhone(L"18D1", L"4EE2", L"BBBB0002");
    Online("\\\\\\\\?\\\\USB#VID_18D1&PID_4EE2#AAAA0001");
    const size_t first = g_messages.size();
    Online("\\\\\\\\?\\\\USB#VID_18D1&PID_4EE2#BBBB0002");

    ASSERT_GT(first, 0u);
    ASSERT_GT(g_messages.size(), first);
    const std::vector<std::string> serials = Serials();
    EXPECT_EQ(std::vector<std::string>(serials.begin(), serials.begin() + first),
              std::vector<std::string>(first, "AAAA0001"));
    EXPECT_EQ(std::vector<std::string>(serials.begin() + first, serials.end()),
              std::vector<std::string>(serials.size() - first, "BBBB0002"));
    for (const auto& m : g_messages)
        EXPECT_NE(m.first, USB_WM_PHONE_SN_CONFLICT) << m.second;
    ASSERT_EQ(service.Devices().Size(), 2u);
    EXPECT_TRUE(service.Devices().FindBySn("AAAA0001")->m_isAdbOpen);
    EXPECT_TRUE(service.Devices().FindBySn("BBBB0002")->m_isAdbOpen);
}

TEST_F(DeviceArrivalTest, PhoneThatTookTheAdbSerialIsRemovedOnceAmongOthersAndItsModelComesBack)
{
    const std::string unplug = "{\"action\":\"DEVICE_OFFLINE\",\"device_info\":\"\\\\\\\\?\\\\USB#VID_18D1&PID_4EE2#"
                               "6&2A1B3C&0&1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}\"}";
    for (const std::string& removal : {unplug, std::string("{\"action\":\"DEVNODES_CHANGED\"}")}) {
        for (const auto& kv : service.Devices().Snapshot())
            service.Devices().Remove(kv.second);
        g_messages.clear();
        Record("6&2A1B3C&0&1", "4EE2")->m_pDeviceSn = "R58M123";  // the serial correction took the ADB one
        Record("OTHER01", "4EE7");
        for (int i = 0; i < 3; ++i)
            service.HandleMessage(removal);
        const std::vector<std::string> serials = Serials();
        EXPECT_EQ(std::count(serials.begin(), serials.end(), "R58M123"), 1) << removal;
        EXPECT_EQ(g_messages[0].first, USB_WM_DEVICE_OFFLINE) << removal;
        EXPECT_EQ(service.Devices().FindBySn("R58M123"), nullptr) << removal;
    }

    g_messages.clear();
    scene.tree.AddPhone(L"18D1", L"4EE2", L"NEWSER01", L"x", false);
    Online("\\\\\\\\?\\\\USB#VID_18D1&PID_4EE2#NEWSER01");
    ASSERT_FALSE(g_messages.empty());
    EXPECT_EQ(g_messages[0], std::make_pair(int(USB_WM_TRY_CONNECT_PHONE), std::string("{\"device_sn\":\"NEWSER01\"}\n")));
}

}  // namespace
