// The SetupAPI device-tree adapter and the registry adapter against Wine's registry-backed
// device tree, through the scans that use them.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "discovery/device_scan.h"
#include "service/USB_Service.h"
#include "support/ports.h"
#include "support/ports/device_tree_port.h"
#include "support/ports/registry_port.h"
#include "support/sys_utils.h"
#include "wine/sim_devices.h"

namespace {

class DeviceTreeAdapterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Cleanup();
        ASSERT_TRUE(sim::PlugPhone(L"18D1", L"4EE2", L"0123456789ABCDEF", true));
        ASSERT_TRUE(sim::PlugKeyboard(L"18D1", L"5000", L"7&1A2B3C4D&0&1"));
    }
    void TearDown() override { Cleanup(); }
    static void Cleanup()
    {
        sim::Unplug(L"18D1", L"4EE2");
        sim::Unplug(L"18D1", L"5000");
    }

    static const USB::UsbNode* Find(const std::vector<USB::UsbNode>& nodes, const std::wstring& id)
    {
        for (const auto& n : nodes)
            if (n.instanceId == id)
                return &n;
        return nullptr;
    }
};

TEST_F(DeviceTreeAdapterTest, ListsPresentUsbDevicesWithTheirProperties)
{
    std::vector<USB::UsbNode> nodes;
    uint32_t error = 0;
    ASSERT_TRUE(USB::GetPorts().deviceTree->ListUsbDevices(nodes, error));

    const USB::UsbNode* parent = Find(nodes, L"USB\\VID_18D1&PID_4EE2\\0123456789ABCDEF");
    ASSERT_NE(parent, nullptr);
    EXPECT_EQ(parent->description, L"USB Composite Device");
    EXPECT_EQ(parent->hardwareId, L"USB\\VID_18D1&PID_4EE2&REV_0100");

    const USB::UsbNode* adb = Find(nodes, L"USB\\VID_18D1&PID_4EE2&MI_01\\6&2A3B4C5D&0&0001");
    ASSERT_NE(adb, nullptr);
    EXPECT_EQ(adb->description, L"Android ADB Interface");
    EXPECT_EQ(adb->compatibleIds, L"USB\\Class_ff&SubClass_42&Prot_01USB\\Class_ff&SubClass_42USB\\Class_ff");
    EXPECT_EQ(adb->parentId, L"USB\\VID_18D1&PID_4EE2\\0123456789ABCDEF");

    const USB::UsbNode* keyboard = Find(nodes, L"USB\\VID_18D1&PID_5000\\7&1A2B3C4D&0&1");
    ASSERT_NE(keyboard, nullptr);
    EXPECT_EQ(USB::ToUpperAscii(USB::WideToNarrow(keyboard->classGuid)), "{745A17A0-74D3-11D0-B6FE-00A0C90F57DA}");
}

TEST_F(DeviceTreeAdapterTest, FindsTheAdbInterfaceAndTheSerialItBelongsTo)
{
    std::vector<USB::PhoneSystemInfo*> found;
    ASSERT_TRUE(USB::FindAdbInterfaces(L"VID_18D1&PID_4EE2", found));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0]->_phone_sn_instance_id, L"USB#VID_18D1&PID_4EE2#0123456789ABCDEF");
    EXPECT_EQ(found[0]->m_hardwareId, L"USB\\VID_18D1&PID_4EE2&REV_0100&MI_01");
    for (auto* p : found)
        delete p;
}

TEST_F(DeviceTreeAdapterTest, SeesTheAdbDriverInterfaceOnlyWhileItExists)
{
    EXPECT_FALSE(USB::HasAdbDriverInterface("VID_18D1&PID_4EE2"));
    ASSERT_TRUE(sim::AddAdbDriver(L"18D1", L"4EE2"));
    EXPECT_TRUE(USB::HasAdbDriverInterface("VID_18D1&PID_4EE2"));
    EXPECT_FALSE(USB::HasAdbDriverInterface("VID_18D1&PID_4EE3"));
    sim::RemoveAdbDriver(L"18D1", L"4EE2");
    EXPECT_FALSE(USB::HasAdbDriverInterface("VID_18D1&PID_4EE2"));
}

TEST_F(DeviceTreeAdapterTest, PendingInstallWaitAnswers)
{
    EXPECT_TRUE(USB::GetPorts().deviceTree->WaitNoPendingInstallEvents(100));
}

class RegistryAdapterTest : public ::testing::Test {
protected:
    void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, L"SOFTWARE\\Parvello"); }
};

TEST_F(RegistryAdapterTest, ReadsTheWhiteListValueAndTellsMissingKeyFromMissingValue)
{
    RegDeleteTreeW(HKEY_CURRENT_USER, L"SOFTWARE\\Parvello");
    std::string value = "x";
    EXPECT_EQ(USB::GetPorts().registry->ReadWhiteListValue(value), -2);

    sim::SetWhiteListValue("");
    EXPECT_EQ(USB::GetPorts().registry->ReadWhiteListValue(value), -1);

    sim::SetWhiteListValue("[{\"vid\":\"04E8\",\"pid\":\"1234\"}]");
    ASSERT_EQ(USB::GetPorts().registry->ReadWhiteListValue(value), 0);
    EXPECT_EQ(value, "[{\"vid\":\"04E8\",\"pid\":\"1234\"}]");
}

TEST_F(RegistryAdapterTest, ValueFillingTheBufferEndsAtItsLastByte)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\Parvello", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    std::string full(10240, ' ');
    full[0] = '[';
    full[10239] = ']';
    ASSERT_EQ(RegSetValueExA(key, "white-list", 0, REG_BINARY, reinterpret_cast<const BYTE*>(full.data()), 10240),
              ERROR_SUCCESS);
    std::string value;
    EXPECT_EQ(USB::GetPorts().registry->ReadWhiteListValue(value), 0);
    EXPECT_EQ(value, full);

    std::string tooLong(10241, ' ');
    ASSERT_EQ(RegSetValueExA(key, "white-list", 0, REG_BINARY, reinterpret_cast<const BYTE*>(tooLong.data()), 10241),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(USB::GetPorts().registry->ReadWhiteListValue(value), -1);
}

}  // namespace
