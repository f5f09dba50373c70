// The SetupAPI device-tree adapter and the registry adapter against Wine's registry-backed
// device tree, with the devices usbmon's simulator writes. (The ADB interface and driver it
// finds of a phone show in the end-to-end driver and doctor scenarios.)
#include <gtest/gtest.h>

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "sim_device.h"
#include "support/ports/ports.h"
#include "support/ports/device_tree_port.h"
#include "support/ports/registry_port.h"
#include "support/sys_utils.h"

namespace {

// A phone without its ADB driver, and a keyboard of a phone vendor.
class DeviceTreeAdapterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        TearDown();
        ASSERT_TRUE(sim::Plug(phone) && sim::Plug(keyboard));
    }
    void TearDown() override
    {
        sim::Unplug(phone);
        sim::Unplug(keyboard);
    }
    sim::Phone phone = sim::Parse("18D1 4EE2 0123456789ABCDEF nodriver");
    sim::Phone keyboard = sim::Parse("18D1 5000 7&1A2B3C4D&0&1 keyboard");
};

TEST_F(DeviceTreeAdapterTest, ListsPresentUsbDevicesWithTheirProperties)
{
    std::vector<USB::UsbNode> nodes;
    uint32_t error = 0;
    ASSERT_TRUE(USB::GetPorts().deviceTree->ListUsbDevices(nodes, error));
    std::map<std::string, USB::UsbNode> byId;  // a missing device reads as one without properties
    for (const USB::UsbNode& node : nodes)
        byId[node.instanceId] = node;
    const USB::UsbNode& parent = byId["USB\\VID_18D1&PID_4EE2\\0123456789ABCDEF"];
    EXPECT_EQ(parent.description, "USB Composite Device");
    EXPECT_EQ(parent.hardwareId, "USB\\VID_18D1&PID_4EE2&REV_0100");
    const USB::UsbNode& adb = byId["USB\\VID_18D1&PID_4EE2&MI_01\\6&01234567&0&0001"];
    EXPECT_EQ(adb.description, "Android Phone");
    EXPECT_EQ(adb.compatibleIds, "USB\\Class_ff&SubClass_42&Prot_01USB\\Class_ff&SubClass_42USB\\Class_ff");
    EXPECT_EQ(adb.parentId, "USB\\VID_18D1&PID_4EE2\\0123456789ABCDEF");
    const USB::UsbNode& hid = byId["USB\\VID_18D1&PID_5000\\7&1A2B3C4D&0&1"];
    EXPECT_EQ(USB::ToUpperAscii(hid.classGuid), "{745A17A0-74D3-11D0-B6FE-00A0C90F57DA}");
}

// The whitelist value in HKCU\SOFTWARE\Parvello: a missing key, a missing value and a value that
// fills the reader's buffer to its last byte are told apart.
TEST(RegistryAdapter, ReadsTheWhiteListValueUpToItsBufferSize)
{
    const char* const key = "SOFTWARE\\Parvello";
    USB::RegistryPort& registry = *USB::GetPorts().registry;
    RegDeleteTreeA(HKEY_CURRENT_USER, key);
    std::string value = "x";
    EXPECT_EQ(registry.ReadWhiteListValue(value), USB::RegistryValue::NoKey);
    RegSetKeyValueA(HKEY_CURRENT_USER, key, "other", REG_SZ, "", 1);
    EXPECT_EQ(registry.ReadWhiteListValue(value), USB::RegistryValue::Unreadable);
    const std::string list = "[{\"vid\":\"04E8\",\"pid\":\"1234\"}]";
    RegSetKeyValueA(HKEY_CURRENT_USER, key, "white-list", REG_SZ, list.c_str(), static_cast<DWORD>(list.size() + 1));
    ASSERT_EQ(registry.ReadWhiteListValue(value), USB::RegistryValue::Read);
    EXPECT_EQ(value, list);

    const std::string full = "[" + std::string(10238, ' ') + "]";
    RegSetKeyValueA(HKEY_CURRENT_USER, key, "white-list", REG_BINARY, full.data(), 10240);
    EXPECT_EQ(registry.ReadWhiteListValue(value), USB::RegistryValue::Read);
    EXPECT_EQ(value, full);
    RegSetKeyValueA(HKEY_CURRENT_USER, key, "white-list", REG_BINARY, (full + " ").data(), 10241);
    EXPECT_EQ(registry.ReadWhiteListValue(value), USB::RegistryValue::Unreadable);
    RegDeleteTreeA(HKEY_CURRENT_USER, key);
}

}  // namespace
