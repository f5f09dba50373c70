// Scans of the device tree: which devices are posted and listed as phones, the ADB interfaces of
// a phone and the serial they belong to, and a tree that cannot be read.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "discovery/device_scan.h"
#include "fakes/device_scene.h"
#include "fakes/fake_http.h"
#include "fakes/gate.h"
#include "fakes/records.h"
#include "identification/phone_scan.h"

namespace {

using namespace USB;

class DeviceScanTest : public ::testing::Test {
protected:
    DeviceScanTest()
    {
        scene.WriteShippedWhitelist(Fake::FileOf(Fake::Entry("18D1", "4EE2", "Nexus 5", "yes")));
        pieces.whiteList.EnsureLoaded();
    }
    // What a scan posts, as the service's own scans do.
    std::vector<std::string> Scan(bool shortDecision)
    {
        std::vector<std::string> posted;
        ScanPresentPhones(pieces.decision, pieces.devices, shortDecision,
                          [&](const std::string& text) { posted.push_back(text); });
        return posted;
    }
    DeviceChange Classify() { return ClassifyDeviceChange(pieces.decision, pieces.devices, true); }
    // The parents the ADB interfaces of the model name (of one device, with a serial).
    std::string Parents(const std::string& serial = std::string())
    {
        PhoneInfos found;
        std::string out;
        FindAdbInterfaces("VID_18D1&PID_4EE2", found, serial);
        for (const auto& info : found)
            out += info.m_parentInstanceId + " ";
        return out;
    }

    Fake::Scene scene;
    Fake::DecisionPieces pieces;
};

TEST_F(DeviceScanTest, PhonesArePostedListedAndClassifiedPerDeviceNotPerModel)
{
    EXPECT_EQ(Classify(), DeviceChange::NoPhone);
    // A keyboard with a phone vendor's ids is never a phone.
    for (const char* hid : {"{745A17A0-74D3-11D0-B6FE-00A0C90F57DA}", "{745a17a0-74d3-11d0-b6fe-00a0c90f57da}"})
        scene.tree.AddDevice({"USB\\VID_18D1&PID_4EE2\\7&2B3C4D5E&0&1", hid, "", "", "", "", false});
    EXPECT_TRUE(Scan(false).empty());
    EXPECT_EQ(Classify(), DeviceChange::NoPhone);
    EXPECT_FALSE(IsPhonePresent(pieces.decision, "VID_18D1&PID_4EE2", "7&2B3C4D5E&0&1"));

    // Another phone of the model is recorded: this one is still new, and present.
    pieces.devices.Add(Fake::Record("OTHERSERIAL"));
    scene.tree.AddPhone("18D1", "4EE2", "0123456789ABCDEF");
    EXPECT_EQ(Scan(true), std::vector<std::string>{"{\"action\":\"DEVICE_ONLINE\",\"device_info\":"
                                                   "\"\\\\\\\\?\\\\USB#VID_18D1&PID_4EE2#0123456789ABCDEF\"}\n"});
    EXPECT_EQ(Classify(), DeviceChange::NewPhone);
    EXPECT_TRUE(IsPhonePresent(pieces.decision, "VID_18D1&PID_4EE2", "0123456789abcdef"));
    EXPECT_FALSE(IsPhonePresent(pieces.decision, "VID_18D1&PID_4EE2", "OTHERSERIAL"));
    pieces.devices.Add(Fake::Record("0123456789ABCDEF"));
    EXPECT_TRUE(Scan(false).empty());
    EXPECT_EQ(Classify(), DeviceChange::PhonesRecorded);

    // Two phones of one model are two list elements; the keyboard is none.
    scene.tree.AddPhone("18d1", "4ee2", "bbb222");
    std::string list;
    ASSERT_TRUE(BuildPhoneList(pieces.decision, list));
    EXPECT_EQ(list, "[{\"phone\":\"\\\\\\\\?\\\\USB#VID_18D1&PID_4EE2#0123456789ABCDEF\"},"
                    "{\"phone\":\"\\\\\\\\?\\\\USB#VID_18D1&PID_4EE2#BBB222\"}]\n");
}

// At start the short decision (the whitelist and its neighbours: nothing leaves the machine) scans
// first; only when it finds no phone does the full decision (the cloud too) scan again, with the
// short scan's "not a phone" answers forgotten. Each phone found is posted as an arrival.
TEST_F(DeviceScanTest, StartUpScans)
{
    Fake::Http http;
    scene.platform.ports.http = &http;
    http.ServeJson("/api/v1/drive/device/", R"({"result":0,"data":{"isadbopen":"yes"}})");
    const struct {
        std::vector<const char*> pids;  // of vendor 18D1 present; 4EE2 is on the whitelist
        const char* posted;
        size_t cloudQueries;
    } rows[] = {{{"4EE2", "5000"}, "4EE2", 0}, {{"5000"}, "5000", 1}, {{}, "", 0}};
    for (const auto& row : rows) {
        scene.tree.Clear();
        http.ClearRecords();
        for (const char* pid : row.pids)
            scene.tree.AddPhone("18D1", pid, "SERIAL1", "x", false);
        std::string posted;
        StartUpScans(
            pieces.decision, pieces.devices, pieces.notPhoneCache, [&](const std::string& text) { posted += text; },
            nullptr);
        EXPECT_EQ(posted, *row.posted
                              ? "{\"action\":\"DEVICE_ONLINE\",\"device_info\":\"\\\\\\\\?\\\\USB#VID_18D1&PID_" +
                                    std::string(row.posted) + "#SERIAL1\"}\n"
                              : "");
        size_t queries = 0;
        for (const auto& r : http.Records())
            queries += r.path.rfind("/api/v1/drive/device/", 0) == 0;
        EXPECT_EQ(queries, row.cloudQueries) << row.posted;
    }
}

TEST_F(DeviceScanTest, EachAdbInterfaceBelongsToItsOwnParent)
{
    scene.tree.AddPhone("18D1", "4EE2", "AAAA0001", "Nexus ADB Interface");
    scene.tree.AddPhone("18D1", "4EE2", "BBBB0002");
    scene.tree.AddPhone("18D1", "4EE7", "OTHERMODEL");
    EXPECT_EQ(Parents(), "USB#VID_18D1&PID_4EE2#AAAA0001 USB#VID_18D1&PID_4EE2#BBBB0002 ");
    EXPECT_EQ(Parents("bbbb0002"), "USB#VID_18D1&PID_4EE2#BBBB0002 ");
    EXPECT_EQ(Parents("CCCC0003"), "");
    PhoneInfos found;
    ASSERT_TRUE(FindAdbInterfaces("VID_18D1&PID_4EE2", found, "AAAA0001"));
    EXPECT_TRUE(found[0].m_isAdbOpen);
    EXPECT_EQ(found[0].m_description, "Nexus ADB Interface");

    // Another present device holds a serial; a Windows-made instance part is no device's.
    EXPECT_TRUE(IsSerialOfAnotherDevice("bbbb0002", "VID_18D1&PID_4EE2", "AAAA0001"));
    EXPECT_FALSE(IsSerialOfAnotherDevice("AAAA0001", "VID_18D1&PID_4EE2", "AAAA0001"));
    EXPECT_FALSE(IsSerialOfAnotherDevice("6&12345678&0&0001", "VID_18D1&PID_4EE2", "AAAA0001"));

    // Without a parent from Windows: credited only when the model has one device present.
    for (UsbNode& node : scene.tree.nodes)
        node.parentId.clear();
    EXPECT_EQ(Parents(), "");
    EXPECT_EQ(
        scene.platform.LogCount("cannot tell which device the interface USB#VID_18D1&PID_4EE2&MI_01#6&12345678&0&0001 "
                                "belongs to\n"),
        2u);
    scene.tree.RemoveMatching("\\BBBB0002");
    EXPECT_EQ(Parents("AAAA0001"), "USB#VID_18D1&PID_4EE2#AAAA0001 USB#VID_18D1&PID_4EE2#AAAA0001 ");
}

TEST_F(DeviceScanTest, OnlyAdbClassInterfacesCount)
{
    scene.tree.AddPhone("18D1", "4EE2", "5&1A2B3C4D&0&2", "x", false);
    UsbNode mtp;
    mtp.instanceId = "USB\\VID_18D1&PID_4EE2&MI_00\\6&12345678&0&0000";
    mtp.compatibleIds = "USB\\Class_06&SubClass_01&Prot_01";
    scene.tree.AddDevice(mtp);
    EXPECT_EQ(Parents(), "");
    UsbNode upper = mtp;
    upper.instanceId = "USB\\VID_18D1&PID_4EE2&MI_01\\6&12345678&0&0001";
    upper.compatibleIds = "USB\\Class_FF&SubClass_42&Prot_01";
    scene.tree.AddDevice(upper);
    EXPECT_EQ(Parents(), "USB#VID_18D1&PID_4EE2#5&1A2B3C4D&0&2 ");
}

TEST_F(DeviceScanTest, AnAdbDriverInterfaceAnswersForItsOwnDevice)
{
    // Two phones of one model; only A's ADB interface has its driver bound.
    scene.tree.AddPhone("18D1", "4EE2", "AAAA0001");
    scene.tree.AddPhone("18D1", "4EE2", "BBBB0002");
    scene.tree.nodes[1].instanceId = "USB\\VID_18D1&PID_4EE2&MI_01\\6&AAAA0001&0&0001";
    scene.tree.AddAdbDriverInterface("USB\\VID_18d1&PID_4ee2&MI_01\\6&AAAA0001&0&0001");
    EXPECT_TRUE(HasAdbDriverInterface("VID_18D1&PID_4EE2"));
    EXPECT_TRUE(HasAdbDriverInterface("VID_18D1&PID_4EE2", "aaaa0001"));
    EXPECT_FALSE(HasAdbDriverInterface("VID_18D1&PID_4EE2", "BBBB0002"));
    EXPECT_FALSE(HasAdbDriverInterface("VID_18D1&PID_4EE"));
    // One whose parent Windows does not name belongs to the model's only device.
    scene.tree.RemoveMatching("AAAA0001");
    scene.tree.AddAdbDriverInterface("USB\\VID_18D1&PID_4EE2&MI_01\\6&UNKNOWN&0&0001");
    EXPECT_TRUE(HasAdbDriverInterface("VID_18D1&PID_4EE2", "BBBB0002"));
}

TEST_F(DeviceScanTest, AnUnopenableDeviceSetIsLoggedAndCountsAsNoDevice)
{
    scene.tree.AddPhone("18D1", "4EE2", "0123456789ABCDEF");
    scene.tree.AddAdbDriverInterface("USB\\VID_18D1&PID_4EE2&MI_01\\6&12345678&0&0001");
    scene.tree.failOpen = true;
    std::string list;
    EXPECT_TRUE(Scan(false).empty());
    EXPECT_FALSE(BuildPhoneList(pieces.decision, list));
    EXPECT_EQ(Classify(), DeviceChange::NoPhone);
    EXPECT_FALSE(HasAdbDriverInterface("VID_18D1&PID_4EE2"));
}

}  // namespace
