// Scans of the device tree: which devices are posted as phones, the phone list, the ADB
// interfaces of a phone and the serial they belong to.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "discovery/device_scan.h"
#include "identification/phone_scan.h"
#include "fakes/device_scene.h"
#include "service/USB_Service.h"

namespace {

using USB::Fake::Entry;
using USB::Fake::FileOf;

const char kNexus[] = "USB#VID_18D1&PID_4EE2#0123456789ABCDEF";

USB::UsbNode Keyboard(const std::wstring& vid, const std::wstring& pid, const std::wstring& classGuid)
{
    USB::UsbNode node;
    node.instanceId = L"USB\\VID_" + vid + L"&PID_" + pid + L"\\7&2B3C4D5E&0&1";
    node.classGuid = classGuid;
    node.hardwareId = L"USB\\VID_" + vid + L"&PID_" + pid;
    node.description = L"USB Input Device";
    return node;
}

class DeviceScanTest : public ::testing::Test {
protected:
    DeviceScanTest()
    {
        scene.WriteShippedWhitelist(FileOf(Entry("18D1", "4EE2", "Nexus 5", "yes")));
        service.Whitelist().LoadBuiltInVendors();
        service.Whitelist().LoadWhiteListFromFile();
    }

    // Posts into the service's queue, as the service's own scans do.
    std::function<void(const std::string&)> Post()
    {
        return [this](const std::string& text) { service.PostMessage(text); };
    }

    std::vector<std::string> Posted()
    {
        std::vector<std::string> out;
        for (std::string m = service.PopMessage(); !m.empty(); m = service.PopMessage())
            out.push_back(m);
        return out;
    }

    void Record(const std::string& serial, const std::string& vidPid)
    {
        auto* record = new USB::UsbDevice();
        record->m_pDeviceSn = serial;
        record->m_vidPid = vidPid;
        ASSERT_EQ(service.Devices().Add(std::unique_ptr<USB::UsbDevice>(record)), 0);
    }

    static void Free(USB::PhoneInfos& found)
    {
        found.clear();
    }

    USB::Fake::Scene scene;
    USB::UsbService service;
};

TEST(ParseInstanceId, SplitsHardwarePartAndSerial)
{
    const USB::InstanceIdParts a = USB::ParseInstanceId("USB\\VID_18D1&PID_4EE2&MI_01\\6&1234&0&0001", '\\');
    EXPECT_EQ(a.vid, "18D1");
    EXPECT_EQ(a.pid, "4EE2");
    EXPECT_EQ(a.key, "VID_18D1&PID_4EE2");
    EXPECT_EQ(a.serial, "6&1234&0&0001");
    const USB::InstanceIdParts b = USB::ParseInstanceId("USB#VID_18D1&PID_4EE2#SN#{A5DCBF10-6530}", '#');
    EXPECT_EQ(b.key, "VID_18D1&PID_4EE2");
    EXPECT_EQ(b.serial, "SN");
    for (const char* bad : {"USB#ROOT_HUB20#4&1", "USB#V&PID_4EE2#S", "USB#VID_18D1&P#S", "", "USB"}) {
        const USB::InstanceIdParts c = USB::ParseInstanceId(bad, '#');
        EXPECT_EQ(c.key, "") << bad;
        EXPECT_EQ(c.vid, "") << bad;
        EXPECT_EQ(c.pid, "") << bad;
    }
}

TEST_F(DeviceScanTest, WholePhoneIsPostedOnceAsDeviceOnline)
{
    scene.tree.AddPhone(L"18D1", L"4EE2", L"0123456789ABCDEF");
    EXPECT_TRUE(USB::ScanPresentPhones(service.Decision(), service.Devices(), true, Post()));
    const std::vector<std::string> posted = Posted();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0], "{\"action\":\"DEVICE_ONLINE\",\"device_info\":\"\\\\\\\\?\\\\USB#VID_18D1&PID_4EE2#0123456789ABCDEF\"}\n");
    EXPECT_EQ(scene.LogCount(std::string("find a usb phone is ") + kNexus + "\n"), 1u);
}

TEST_F(DeviceScanTest, HidKeyboardWithAPhoneVendorsIdIsNeverReported)
{
    scene.tree.AddDevice(Keyboard(L"18D1", L"4EE2", L"{745A17A0-74D3-11D0-B6FE-00A0C90F57DA}"));
    scene.tree.AddDevice(Keyboard(L"18D1", L"4EE2", L"{745a17a0-74d3-11d0-b6fe-00a0c90f57da}"));
    EXPECT_FALSE(USB::ScanPresentPhones(service.Decision(), service.Devices(), true, Post()));
    EXPECT_FALSE(USB::ScanPresentPhones(service.Decision(), service.Devices(), false, Post()));
    std::string list;
    EXPECT_FALSE(USB::BuildPhoneList(service.Decision(), list));
    EXPECT_EQ(USB::ClassifyDeviceChange(service.Decision(), service.Devices(), false), -1);
    EXPECT_FALSE(USB::IsPhonePresent(service.Decision(), "VID_18D1&PID_4EE2", "7&2B3C4D5E&0&1"));
    EXPECT_TRUE(Posted().empty());
}

TEST_F(DeviceScanTest, RecordsAreMatchedPerDeviceNotPerModel)
{
    // Another phone of the model is recorded: this one is still new, and present.
    Record("OTHERSERIAL", "VID_18D1&PID_4EE2");
    scene.tree.AddPhone(L"18D1", L"4EE2", L"0123456789ABCDEF");
    EXPECT_TRUE(USB::ScanPresentPhones(service.Decision(), service.Devices(), false, Post()));
    EXPECT_EQ(Posted().size(), 1u);
    EXPECT_EQ(USB::ClassifyDeviceChange(service.Decision(), service.Devices(), true), 0);
    EXPECT_TRUE(USB::IsPhonePresent(service.Decision(), "VID_18D1&PID_4EE2", "0123456789abcdef"));
    EXPECT_FALSE(USB::IsPhonePresent(service.Decision(), "VID_18D1&PID_4EE2", "OTHERSERIAL"));

    Record("0123456789ABCDEF", "VID_18D1&PID_4EE2");
    EXPECT_FALSE(USB::ScanPresentPhones(service.Decision(), service.Devices(), false, Post()));
    EXPECT_TRUE(Posted().empty());
    EXPECT_EQ(USB::ClassifyDeviceChange(service.Decision(), service.Devices(), true), 1);
}

TEST_F(DeviceScanTest, EachAdbInterfaceBelongsToItsOwnParent)
{
    scene.tree.AddPhone(L"18D1", L"4EE2", L"AAAA0001");
    scene.tree.AddPhone(L"18D1", L"4EE2", L"BBBB0002");
    USB::PhoneInfos found;
    ASSERT_TRUE(USB::FindAdbInterfaces(L"VID_18D1&PID_4EE2", found));
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0]->_phone_sn_instance_id, L"USB#VID_18D1&PID_4EE2#AAAA0001");
    EXPECT_EQ(found[1]->_phone_sn_instance_id, L"USB#VID_18D1&PID_4EE2#BBBB0002");
    Free(found);
    ASSERT_TRUE(USB::FindAdbInterfaces(L"VID_18D1&PID_4EE2", found, "bbbb0002"));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0]->_phone_sn_instance_id, L"USB#VID_18D1&PID_4EE2#BBBB0002");
    Free(found);
    EXPECT_FALSE(USB::FindAdbInterfaces(L"VID_18D1&PID_4EE2", found, "CCCC0003"));

    // Without a parent from Windows: credited only when the model has one device present.
    for (USB::UsbNode& node : scene.tree.nodes)
        node.parentId.clear();
    EXPECT_FALSE(USB::FindAdbInterfaces(L"VID_18D1&PID_4EE2", found));
    EXPECT_EQ(scene.LogCount("cannot tell which device the interface USB#VID_18D1&PID_4EE2&MI_01#6&12345678&0&0001 "
                             "belongs to\n"),
              2u);
    scene.tree.nodes.erase(scene.tree.nodes.begin() + 2);  // BBBB0002's whole device
    ASSERT_TRUE(USB::FindAdbInterfaces(L"VID_18D1&PID_4EE2", found, "AAAA0001"));
    EXPECT_EQ(found.size(), 2u);
    Free(found);
}

TEST_F(DeviceScanTest, SerialOfAnotherPresentDevice)
{
    scene.tree.AddPhone(L"18D1", L"4EE2", L"AAAA0001");
    scene.tree.AddPhone(L"22B8", L"2E76", L"BBBB0002");
    EXPECT_TRUE(USB::IsSerialOfAnotherDevice("bbbb0002", "VID_18D1&PID_4EE2", "AAAA0001"));
    EXPECT_FALSE(USB::IsSerialOfAnotherDevice("BBBB0002", "VID_22B8&PID_2E76", "BBBB0002"));
    EXPECT_FALSE(USB::IsSerialOfAnotherDevice("R58M123", "VID_18D1&PID_4EE2", "AAAA0001"));
    EXPECT_FALSE(USB::IsSerialOfAnotherDevice("6&12345678&0&0001", "VID_18D1&PID_4EE2", "AAAA0001"));
}

TEST_F(DeviceScanTest, ClassifyTellsNewFromKnownFromGone)
{
    EXPECT_EQ(USB::ClassifyDeviceChange(service.Decision(), service.Devices(), true), -1);
    scene.tree.AddPhone(L"18D1", L"4EE2", L"0123456789ABCDEF");
    EXPECT_EQ(USB::ClassifyDeviceChange(service.Decision(), service.Devices(), true), 0);
    EXPECT_EQ(scene.LogCount("there is a new device plug in\n"), 1u);
    Record("0123456789ABCDEF", "VID_18D1&PID_4EE2");
    EXPECT_EQ(USB::ClassifyDeviceChange(service.Decision(), service.Devices(), true), 1);
}

TEST_F(DeviceScanTest, TwoPhonesOfOneModelAreTwoListElements)
{
    scene.tree.AddPhone(L"18D1", L"4EE2", L"AAA111");
    scene.tree.AddDevice(Keyboard(L"18D1", L"4EE2", L"{745A17A0-74D3-11D0-B6FE-00A0C90F57DA}"));
    scene.tree.AddPhone(L"18d1", L"4ee2", L"bbb222");
    std::string list;
    ASSERT_TRUE(USB::BuildPhoneList(service.Decision(), list));
    EXPECT_EQ(list, "[{\"phone\":\"\\\\\\\\?\\\\USB#VID_18D1&PID_4EE2#AAA111\"},"
                    "{\"phone\":\"\\\\\\\\?\\\\USB#VID_18D1&PID_4EE2#BBB222\"}]\n");
}

TEST_F(DeviceScanTest, CompositePhoneWithARealSerialGivesItsInterfaceRecords)
{
    scene.tree.AddPhone(L"18D1", L"4EE2", L"0123456789ABCDEF", L"Nexus ADB Interface");
    scene.tree.AddPhone(L"18D1", L"4EE7", L"OTHERMODEL");
    USB::PhoneInfos found;
    ASSERT_TRUE(USB::FindAdbInterfaces(L"VID_18D1&PID_4EE2", found));
    ASSERT_EQ(found.size(), 1u);
    const USB::PhoneSystemInfo& adb = *found[0];
    EXPECT_TRUE(adb.m_isAdbOpen);
    EXPECT_EQ(adb._phone_sn_instance_id, L"USB#VID_18D1&PID_4EE2#0123456789ABCDEF");
    EXPECT_EQ(adb.m_interfaceId, L"USB#VID_18D1&PID_4EE2&MI_01#6&12345678&0&0001");
    EXPECT_EQ(adb.m_description, L"Nexus ADB Interface");
    EXPECT_EQ(adb.m_hardwareId, L"USB\\VID_18D1&PID_4EE2&REV_0100&MI_01");
    EXPECT_NE(adb.m_compatibleId.find(L"Class_ff&SubClass_42"), std::wstring::npos);
    EXPECT_EQ(scene.LogCount("find a new phone is USB#VID_18D1&PID_4EE2&MI_01#6&12345678&0&0001 \n"), 1u);
    EXPECT_EQ(scene.LogCount("use back sn"), 0u);
    Free(found);
}

TEST_F(DeviceScanTest, WindowsMadeInstancePartIsUsedAsTheSerialAfterSayingSo)
{
    scene.tree.AddPhone(L"18D1", L"4EE2", L"5&1A2B3C4D&0&2");
    USB::PhoneInfos found;
    ASSERT_TRUE(USB::FindAdbInterfaces(L"VID_18D1&PID_4EE2", found));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0]->_phone_sn_instance_id, L"USB#VID_18D1&PID_4EE2#5&1A2B3C4D&0&2");
    EXPECT_EQ(scene.LogCount("use back sn USB#VID_18D1&PID_4EE2#5&1A2B3C4D&0&2\n"), 1u);
    Free(found);
}

TEST_F(DeviceScanTest, InterfaceWithoutTheAdbClassIsNotAPhoneInterface)
{
    scene.tree.AddPhone(L"18D1", L"4EE2", L"0123456789ABCDEF", L"x", false);
    USB::UsbNode mtp;
    mtp.instanceId = L"USB\\VID_18D1&PID_4EE2&MI_00\\6&12345678&0&0000";
    mtp.compatibleIds = L"USB\\Class_06&SubClass_01&Prot_01";
    scene.tree.AddDevice(mtp);
    USB::UsbNode upper = mtp;
    upper.instanceId = L"USB\\VID_18D1&PID_4EE2&MI_01\\6&12345678&0&0001";
    upper.compatibleIds = L"USB\\Class_FF&SubClass_42&Prot_01";
    scene.tree.AddDevice(upper);
    USB::PhoneInfos found;
    ASSERT_TRUE(USB::FindAdbInterfaces(L"VID_18D1&PID_4EE2", found));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0]->m_interfaceId, L"USB#VID_18D1&PID_4EE2&MI_01#6&12345678&0&0001");
    Free(found);
}

// An interface that shows up only after Windows has had a moment.
class SlowTree : public USB::Fake::DeviceTree {
public:
    bool ListUsbDevices(std::vector<USB::UsbNode>& out, uint32_t& error) override
    {
        if (usbListings == appearsOnListing - 1)
            AddPhone(L"18D1", L"4EE2", L"0123456789ABCDEF");
        return DeviceTree::ListUsbDevices(out, error);
    }
    int appearsOnListing = 3;
};

TEST_F(DeviceScanTest, RetryPausesASecondBetweenTriesAndReportsTheLast)
{
    SlowTree slow;
    scene.platform.ports.deviceTree = &slow;
    USB::PhoneInfos found;
    USB::PhoneSystemInfo info;
    EXPECT_FALSE(USB::FindAdbInterfacesWithRetry(L"VID_18D1&PID_4EE2", found, 1, info));
    EXPECT_FALSE(info.m_isAdbOpen);
    EXPECT_EQ(scene.platform.clock.CountSleeps(1000), 1u);
    EXPECT_TRUE(USB::FindAdbInterfacesWithRetry(L"VID_18D1&PID_4EE2", found, 3, info));
    EXPECT_TRUE(info.m_isAdbOpen);
    EXPECT_EQ(found.size(), 1u);
    EXPECT_EQ(slow.usbListings, 3);
    EXPECT_EQ(scene.platform.clock.CountSleeps(1000), 1u);
    Free(found);
    scene.platform.ports.deviceTree = &scene.tree;
}

TEST_F(DeviceScanTest, NoChildIsSeenOnlyOnTheWholeDevice)
{
    USB::UsbNode parent;
    parent.instanceId = L"USB\\VID_18D1&PID_4EE2\\0123456789ABCDEF";
    parent.noChild = false;
    scene.tree.AddDevice(parent);
    USB::UsbNode iface;
    iface.instanceId = L"USB\\VID_18D1&PID_4EE2&MI_01\\6&1&0&1";
    iface.noChild = true;
    scene.tree.AddDevice(iface);
    EXPECT_FALSE(USB::HasNoChild(L"VID_18D1&PID_4EE2"));
    scene.tree.nodes[0].noChild = true;
    EXPECT_TRUE(USB::HasNoChild(L"VID_18D1&PID_4EE2"));
    EXPECT_FALSE(USB::HasNoChild(L"VID_18D1&PID_4EE3"));
    EXPECT_EQ(scene.LogCount("this device no child\n"), 1u);
}

TEST_F(DeviceScanTest, AdbDriverInterfaceIsMatchedByItsHardwareKey)
{
    scene.tree.AddAdbDriverInterface(L"USB\\VID_18d1&PID_4ee2&MI_01\\6&12345678&0&0001");
    EXPECT_TRUE(USB::HasAdbDriverInterface("VID_18D1&PID_4EE2"));
    EXPECT_FALSE(USB::HasAdbDriverInterface("VID_18D1&PID_4EE"));
    EXPECT_FALSE(USB::HasAdbDriverInterface("VID_04E8&PID_6860"));
}

TEST_F(DeviceScanTest, AdbDriverInterfaceOfOneDeviceIsThatOfItsParent)
{
    // Two phones of one model; only A's ADB interface has its driver bound.
    for (const wchar_t* serial : {L"AAAA0001", L"BBBB0002"}) {
        USB::UsbNode parent;
        parent.instanceId = std::wstring(L"USB\\VID_18D1&PID_4EE2\\") + serial;
        scene.tree.AddDevice(parent);
        USB::UsbNode iface;
        iface.instanceId = std::wstring(L"USB\\VID_18D1&PID_4EE2&MI_01\\6&") + serial + L"&0&0001";
        iface.parentId = parent.instanceId;
        scene.tree.AddDevice(iface);
    }
    scene.tree.AddAdbDriverInterface(L"USB\\VID_18D1&PID_4EE2&MI_01\\6&AAAA0001&0&0001");
    EXPECT_TRUE(USB::HasAdbDriverInterface("VID_18D1&PID_4EE2"));
    EXPECT_TRUE(USB::HasAdbDriverInterface("VID_18D1&PID_4EE2", "aaaa0001"));
    EXPECT_FALSE(USB::HasAdbDriverInterface("VID_18D1&PID_4EE2", "BBBB0002"));
    // A driver interface whose parent Windows does not name belongs to the model's only device.
    scene.tree.RemoveMatching(L"AAAA0001");
    scene.tree.AddAdbDriverInterface(L"USB\\VID_18D1&PID_4EE2&MI_01\\6&UNKNOWN&0&0001");
    EXPECT_TRUE(USB::HasAdbDriverInterface("VID_18D1&PID_4EE2", "BBBB0002"));
}

TEST_F(DeviceScanTest, UnopenableDeviceSetIsLoggedAndCountsAsNoDevice)
{
    scene.tree.AddPhone(L"18D1", L"4EE2", L"0123456789ABCDEF");
    scene.tree.AddAdbDriverInterface(L"USB\\VID_18D1&PID_4EE2&MI_01\\6&12345678&0&0001");
    scene.tree.failOpen = true;
    std::string list = "untouched";
    USB::PhoneInfos found;
    EXPECT_FALSE(USB::ScanPresentPhones(service.Decision(), service.Devices(), false, Post()));
    EXPECT_FALSE(USB::BuildPhoneList(service.Decision(), list));
    EXPECT_EQ(USB::ClassifyDeviceChange(service.Decision(), service.Devices(), true), -1);
    EXPECT_FALSE(USB::IsPhonePresent(service.Decision(), "VID_18D1&PID_4EE2", "0123456789ABCDEF"));
    EXPECT_FALSE(USB::FindAdbInterfaces(L"VID_18D1&PID_4EE2", found));
    EXPECT_FALSE(USB::HasNoChild(L"VID_18D1"));
    EXPECT_FALSE(USB::HasAdbDriverInterface("VID_18D1&PID_4EE2"));
    EXPECT_TRUE(found.empty());
    EXPECT_EQ(scene.LogCount("SetupDiGetClassDevs fail, error 13: error 13\n"), 7u);
}

}  // namespace
