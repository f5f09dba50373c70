// The phone questions a host asks through the exports: is this a phone, is a new phone
// plugged in, which phones are there (and the buffer/length protocol of the list).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "fakes/device_scene.h"
#include "service/USB_Service.h"
#include "usbhelper.h"

namespace {

using USB::Fake::Entry;
using USB::Fake::FileOf;

const std::string kNexusList = "[{\"phone\":\"\\\\\\\\?\\\\USB#VID_18D1&PID_4EE2#0123456789ABCDEF\"}]\n";

class PhoneExportsTest : public ::testing::Test {
protected:
    PhoneExportsTest()
    {
        scene.WriteShippedWhitelist(FileOf(Entry("18D1", "4EE2", "Nexus 5", "yes")));
        USB::TheService().VendorCacheOf().Clear();
    }
    ~PhoneExportsTest() override { USB::TheService().VendorCacheOf().Clear(); }

    USB::Fake::Scene scene;
};

TEST_F(PhoneExportsTest, IsPhoneAnswersFromTheReloadedWhitelist)
{
    EXPECT_EQ(IUSB_isPhone("\\\\?\\USB#VID_18D1&PID_4EE2#0123456789ABCDEF#{a5dcbf10-6530-11d2-901f-00c04fb951ed}"), 1);
    EXPECT_EQ(IUSB_isPhone("\\\\?\\usb#vid_18d1&pid_4ee2#0123456789abcdef"), 1);
    EXPECT_EQ(IUSB_isPhone("\\\\?\\USB#VID_046D&PID_C52B#5&1&0&1"), 0);
    EXPECT_EQ(scene.LogCount("this device is a phone\n"), 2u);
    EXPECT_EQ(scene.LogCount("this device is not a phone\n"), 1u);

    // A whitelist file changed by another program counts at the next question.
    scene.WriteShippedWhitelist(FileOf(Entry("046D", "C52B", "now listed", "yes")));
    EXPECT_EQ(IUSB_isPhone("\\\\?\\USB#VID_046D&PID_C52B#5&1&0&1"), 1);
}

TEST_F(PhoneExportsTest, IsPhoneRefusesMissingOrShortPaths)
{
    EXPECT_EQ(IUSB_isPhone(nullptr), 0);
    EXPECT_EQ(IUSB_isPhone("\\\\?"), 0);
    EXPECT_EQ(IUSB_isPhone(""), 0);
}

TEST_F(PhoneExportsTest, EitherPhoneExportEmptiesTheNegativeCache)
{
    // One above a listed id: a phone, unless the cache still says otherwise.
    USB::TheService().VendorCacheOf().Add("VID_18D1&PID_4EE3");
    EXPECT_EQ(IUSB_isPhone("\\\\?\\USB#VID_18D1&PID_4EE3#SERIAL"), 1);

    scene.tree.AddPhone(L"18D1", L"4EE3", L"SERIAL");
    USB::TheService().VendorCacheOf().Add("VID_18D1&PID_4EE3");
    EXPECT_EQ(IUSB_hasPhone(), 1);
    EXPECT_EQ(scene.LogCount("there is a phone is pluged into the pc\n"), 1u);
}

TEST_F(PhoneExportsTest, HasPhoneIsFalseWithNothingPlugged)
{
    EXPECT_EQ(IUSB_hasPhone(), 0);
    EXPECT_EQ(scene.LogCount("nothing phone is pluged into the pc\n"), 1u);
}

TEST_F(PhoneExportsTest, PhoneListLengthProtocol)
{
    scene.tree.AddPhone(L"18D1", L"4EE2", L"0123456789ABCDEF");
    USB::TheService().Whitelist().LoadBuiltInVendors();
    USB::TheService().Whitelist().LoadWhiteListFromFile();
    const uint32_t size = static_cast<uint32_t>(kNexusList.size());

    char buffer[256];
    std::memset(buffer, 'Z', sizeof(buffer));
    uint32_t length = 0;
    EXPECT_EQ(IUSB_getPhoneList(buffer, &length), 1);
    EXPECT_EQ(length, size);

    length = size;  // equal: nothing copied, the size stored
    EXPECT_EQ(IUSB_getPhoneList(buffer, &length), 1);
    EXPECT_EQ(length, size);
    EXPECT_EQ(buffer[0], 'Z');

    length = size + 1;  // one larger: the document without a terminator
    EXPECT_EQ(IUSB_getPhoneList(buffer, &length), 1);
    EXPECT_EQ(std::string(buffer, size), kNexusList);
    EXPECT_EQ(buffer[size], 'Z');

    EXPECT_EQ(IUSB_getPhoneList(buffer, nullptr), 0);
    length = size + 1;
    EXPECT_EQ(IUSB_getPhoneList(nullptr, &length), 0);
}

TEST_F(PhoneExportsTest, PhoneQuestionsAnswerBeforeAnythingLoadedTheWhitelist)
{
    USB::WhiteList& list = USB::TheService().Whitelist();
    {
        USB::UsbMutex guard(list.m_lock);  // as the library is at load: nothing read yet
        list.Clear();
        list.m_vendorIds.clear();
        list.m_loaded = false;
    }
    scene.tree.AddPhone(L"18D1", L"4EE2", L"0123456789ABCDEF");
    char buffer[256] = {0};
    uint32_t length = sizeof(buffer);
    ASSERT_EQ(IUSB_getPhoneList(buffer, &length), 1);
    EXPECT_EQ(std::string(buffer), kNexusList);
    EXPECT_EQ(IUSB_hasPhone(), 1);
    EXPECT_EQ(IUSB_isPhone("\\\\?\\USB#VID_18D1&PID_4EE2#0123456789ABCDEF"), 1);
}

TEST_F(PhoneExportsTest, PhoneListFailsWithoutAPhone)
{
    char buffer[64] = {0};
    uint32_t length = sizeof(buffer);
    EXPECT_EQ(IUSB_getPhoneList(buffer, &length), 0);
    EXPECT_EQ(length, sizeof(buffer));
    EXPECT_EQ(buffer[0], 0);
}

}  // namespace
