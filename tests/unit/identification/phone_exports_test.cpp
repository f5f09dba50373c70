// The phone questions a host asks through the exports: is this a phone, is a new phone plugged
// in, which phones are there (and the buffer/length protocol of the list).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "fakes/device_scene.h"
#include "service/service.h"
#include "usbhelper.h"

namespace {

using namespace USB;
using Fake::Entry;
using Fake::FileOf;

const std::string kNexusList = "[{\"phone\":\"\\\\\\\\?\\\\USB#VID_18D1&PID_4EE2#0123456789ABCDEF\"}]\n";

class PhoneExportsTest : public ::testing::Test {
protected:
    PhoneExportsTest() { scene.WriteShippedWhitelist(FileOf(Entry("18D1", "4EE2", "Nexus 5", "yes"))); }

    Fake::Scene scene;
};

TEST_F(PhoneExportsTest, IsPhoneAndHasPhoneAnswerFromTheReloadedWhitelistWithAnEmptyCache)
{
    const struct {
        const char* path;
        int phone;
    } rows[] = {
        {"\\\\?\\USB#VID_18D1&PID_4EE2#0123456789ABCDEF#{a5dcbf10-6530-11d2-901f-00c04fb951ed}", 1},
        {"\\\\?\\usb#vid_18d1&pid_4ee2#0123456789abcdef", 1},
        {"\\\\?\\USB#VID_046D&PID_C52B#5&1&0&1", 0},
        {nullptr, 0},
        {"\\\\?", 0},
        {"", 0},
    };
    for (const auto& row : rows)
        EXPECT_EQ(IUSB_isPhone(row.path), row.phone) << (row.path ? row.path : "null");

    // A model found to be no phone is remembered, yet a whitelist changed by another program
    // counts at the next question: each question starts from the file and an empty cache.
    const char* const receiver = "\\\\?\\USB#VID_046D&PID_C52C#5&1&0&1";
    const std::string unlisted = FileOf(Entry("046D", "AAAA", "other", "yes"));
    const std::string neighbour = FileOf(Entry("046D", "C52B", "now listed", "yes"));
    scene.WriteShippedWhitelist(unlisted);
    EXPECT_EQ(IUSB_isPhone(receiver), 0);
    scene.WriteShippedWhitelist(neighbour);
    EXPECT_EQ(IUSB_isPhone(receiver), 1);
    scene.tree.AddPhone("046D", "C52C", "SERIAL", "Receiver", false);
    scene.WriteShippedWhitelist(unlisted);
    EXPECT_EQ(IUSB_hasPhone(), 0);
    scene.WriteShippedWhitelist(neighbour);
    EXPECT_EQ(IUSB_hasPhone(), 1);
}

TEST_F(PhoneExportsTest, PhoneListLengthProtocol)
{
    char buffer[256];
    uint32_t length = sizeof(buffer);
    std::memset(buffer, 'Z', sizeof(buffer));
    EXPECT_EQ(IUSB_getPhoneList(buffer, &length), 0);  // no phone: nothing written
    EXPECT_EQ(length, sizeof(buffer));
    EXPECT_EQ(buffer[0], 'Z');
    scene.tree.AddPhone("18D1", "4EE2", "0123456789ABCDEF");
    // Before anything else has read the whitelist (as at load), the list reads it.
    std::string document;
    EXPECT_TRUE(UsbService().BuildPhoneList(document));
    EXPECT_EQ(document, kNexusList);

    EXPECT_EQ(IUSB_hasPhone(), 1);  // the library's own service reads this test's whitelist
    const uint32_t size = static_cast<uint32_t>(kNexusList.size());
    const struct {
        uint32_t given;
        uint32_t stored;
        bool copied;
    } rows[] = {
        {0, size, false},            // asks for the size
        {size, size, false},         // equal: nothing copied, the size stored
        {size + 1, size + 1, true},  // one larger: the document without a terminator
    };
    for (const auto& row : rows) {
        std::memset(buffer, 'Z', sizeof(buffer));
        length = row.given;
        EXPECT_EQ(IUSB_getPhoneList(buffer, &length), 1) << row.given;
        EXPECT_EQ(length, row.stored) << row.given;
        EXPECT_EQ(std::string(buffer, size + 1), row.copied ? kNexusList + "Z" : std::string(size + 1, 'Z'))
            << row.given;
    }
    EXPECT_EQ(IUSB_getPhoneList(buffer, nullptr), 0);
    length = size + 1;
    EXPECT_EQ(IUSB_getPhoneList(nullptr, &length), 0);
}

}  // namespace
