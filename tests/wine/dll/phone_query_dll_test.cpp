// The real usbhelper.dll answering the host's phone questions about simulated devices:
// a phone whose id is in the shipped whitelist.json beside the host, a keyboard of a phone
// vendor, and a device listed only by the registry whitelist value.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "wine/sim_devices.h"

namespace {

using IsPhoneFn = uint8_t(__cdecl*)(const char*);
using GetPhoneListFn = uint8_t(__cdecl*)(char*, uint32_t*);

const char kPhonePath[] = "\\\\?\\USB#VID_18D1&PID_4EE2#0123456789ABCDEF";
const char kKeyboardPath[] = "\\\\?\\USB#VID_18D1&PID_5000#7&1A2B3C4D&0&1";
const char kRegistryPhonePath[] = "\\\\?\\USB#VID_04E8&PID_1234#R58M12345";

class PhoneQueryDllTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        module = LoadLibraryW(L"usbhelper.dll");
        ASSERT_NE(module, nullptr);
        isPhone = reinterpret_cast<IsPhoneFn>(reinterpret_cast<void*>(GetProcAddress(module, "IUSB_isPhone")));
        getPhoneList = reinterpret_cast<GetPhoneListFn>(reinterpret_cast<void*>(GetProcAddress(module, "IUSB_getPhoneList")));
        ASSERT_NE(isPhone, nullptr);
        ASSERT_NE(getPhoneList, nullptr);
        HideCloudCopy();
        Cleanup();
        ASSERT_TRUE(sim::PlugPhone(L"18D1", L"4EE2", L"0123456789ABCDEF", true));
        ASSERT_TRUE(sim::PlugKeyboard(L"18D1", L"5000", L"7&1A2B3C4D&0&1"));
    }

    void TearDown() override
    {
        Cleanup();
        RestoreCloudCopy();
        if (module)
            FreeLibrary(module);
    }

    static void Cleanup()
    {
        sim::Unplug(L"18D1", L"4EE2");
        sim::Unplug(L"18D1", L"5000");
        sim::Unplug(L"04E8", L"1234");
        sim::SetWhiteListValue("");
    }

    // A downloaded whitelist would replace the shipped one: keep it out of the way.
    void HideCloudCopy()
    {
        const char* appData = std::getenv("APPDATA");
        if (!appData)
            return;
        cloudCopy = std::string(appData) + "\\Ostrel\\usb\\cloudwhitelist.json";
        hidden = MoveFileExA(cloudCopy.c_str(), (cloudCopy + ".aside").c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
    }

    void RestoreCloudCopy()
    {
        if (hidden)
            MoveFileExA((cloudCopy + ".aside").c_str(), cloudCopy.c_str(), MOVEFILE_REPLACE_EXISTING);
    }

    HMODULE module = nullptr;
    IsPhoneFn isPhone = nullptr;
    GetPhoneListFn getPhoneList = nullptr;
    std::string cloudCopy;
    bool hidden = false;
};

TEST_F(PhoneQueryDllTest, PhoneInTheShippedWhitelistIsAPhoneAndTheKeyboardIsNot)
{
    EXPECT_EQ(isPhone(kPhonePath), 1);
    EXPECT_EQ(isPhone(kKeyboardPath), 0);
}

TEST_F(PhoneQueryDllTest, PhoneListNamesTheSimulatedPhoneOnly)
{
    // Asked first after the load: the list loads the whitelist itself.
    const std::string expected = "[{\"phone\":\"\\\\\\\\?\\\\USB#VID_18D1&PID_4EE2#0123456789ABCDEF\"}]\n";
    uint32_t length = 0;
    ASSERT_EQ(getPhoneList(nullptr, &length), 1);
    ASSERT_EQ(length, expected.size());
    std::string buffer(length + 1, '\0');
    uint32_t offered = length + 1;
    ASSERT_EQ(getPhoneList(&buffer[0], &offered), 1);
    EXPECT_EQ(buffer.substr(0, length), expected);
    EXPECT_EQ(buffer[length], '\0');
}

TEST_F(PhoneQueryDllTest, RegistryWhiteListValueIsHonoured)
{
    ASSERT_TRUE(sim::PlugPhone(L"04E8", L"1234", L"R58M12345", false));
    EXPECT_EQ(isPhone(kRegistryPhonePath), 0);
    sim::SetWhiteListValue("[{\"vid\":\"04E8\",\"pid\":\"1234\",\"description\":\"Registry phone\",\"isadbopen\":\"yes\"}]");
    EXPECT_EQ(isPhone(kRegistryPhonePath), 1);
}

}  // namespace
