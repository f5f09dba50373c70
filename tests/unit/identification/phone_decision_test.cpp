// Is this USB device a phone? The full and short decisions, the neighbour ids and the cache.
#include <gtest/gtest.h>

#include <vector>

#include "fakes/device_scene.h"
#include "identification/phone_decision.h"
#include "identification/phone_scan.h"
#include "service/USB_Service.h"

namespace {

using USB::Fake::Entry;
using USB::Fake::FileOf;

class PhoneDecisionTest : public ::testing::Test {
protected:
    void LoadWhitelist(const std::string& entries)
    {
        scene.WriteShippedWhitelist(FileOf(entries));
        service.Whitelist().LoadBuiltInVendors();
        service.Whitelist().LoadWhiteListFromFile();
    }

    USB::Fake::Scene scene;
    USB::UsbService service;
    USB::PhoneDecision& decision = service.Decision();
};

TEST_F(PhoneDecisionTest, ExactEntryIsAPhoneInBothFormsWithTheEntrysAdbFlag)
{
    LoadWhitelist(Entry("18D1", "4EE2", "Nexus 5", "yes") + "," + Entry("04E8", "6860", "Galaxy", "no"));
    EXPECT_TRUE(decision.IsPhoneShort("USB#VID_18D1&PID_4EE2#0123456789ABCDEF"));
    EXPECT_TRUE(decision.IsPhoneFull("USB#VID_18D1&PID_4EE2#0123456789ABCDEF"));

    USB::PhoneSystemInfo open;
    ASSERT_TRUE(decision.CheckExactFull(open, "USB#VID_18D1&PID_4EE2#0123456789ABCDEF"));
    EXPECT_TRUE(open.m_isAdbOpen);
    EXPECT_EQ(open.m_description, L"Nexus 5");
    EXPECT_EQ(open.m_serial, L"0123456789ABCDEF");

    USB::PhoneSystemInfo closed;
    ASSERT_TRUE(decision.CheckExactShort("04E8", "6860", closed));
    EXPECT_FALSE(closed.m_isAdbOpen);
    EXPECT_EQ(closed.m_description, L"Galaxy");
    EXPECT_GE(scene.LogCount("this is a phone via query whitelist\n"), 4u);
    EXPECT_EQ(scene.LogCount("_oldpid is"), 0u);
}

TEST_F(PhoneDecisionTest, PidOneAboveOrBelowAnEntryIsAPhoneWithAdbClosed)
{
    LoadWhitelist(Entry("18D1", "4EE2", "Nexus 5", "yes"));
    USB::PhoneSystemInfo above;
    ASSERT_TRUE(decision.CheckNeighbourPids(above, "USB#VID_18D1&PID_4EE3#SERIAL1", false));
    EXPECT_FALSE(above.m_isAdbOpen);
    EXPECT_EQ(above.m_description, L"Nexus 5");
    EXPECT_EQ(above.m_serial, L"SERIAL1");
    // The upper neighbour is tried first, then the lower one answers.
    EXPECT_EQ(scene.LogCount("_oldpid is 4EE3\n"), 2u);
    EXPECT_EQ(scene.LogCount("_newpid is 4EE4\n"), 1u);
    EXPECT_EQ(scene.LogCount("_newvidpid is VID_18D1&PID_4EE4\n"), 1u);
    EXPECT_EQ(scene.LogCount("_newpid is 4EE2\n"), 1u);

    USB::PhoneSystemInfo below;
    ASSERT_TRUE(decision.CheckNeighbourPids(below, "USB#VID_18D1&PID_4EE1#SERIAL2", false));
    EXPECT_FALSE(below.m_isAdbOpen);
    EXPECT_EQ(scene.LogCount("_oldpid is 4EE1\n"), 1u);
    EXPECT_EQ(scene.LogCount("_newpid is 4EE2\n"), 2u);

    EXPECT_TRUE(decision.IsPhoneFull("USB#VID_18D1&PID_4EE3#SERIAL1"));
    EXPECT_TRUE(decision.IsPhoneShort("USB#VID_18D1&PID_4EE1#SERIAL2"));
}

TEST_F(PhoneDecisionTest, NeighbourIdsAreUpperCaseFourDigitHex)
{
    LoadWhitelist(Entry("18D1", "4EEA", "a", "yes") + "," + Entry("18D1", "0100", "b", "yes"));
    EXPECT_TRUE(decision.IsPhoneShort("USB#VID_18D1&PID_4EEB#S"));
    EXPECT_EQ(scene.LogCount("_newpid is 4EEA\n"), 1u);
    EXPECT_TRUE(decision.IsPhoneShort("USB#VID_18D1&PID_00FF#S"));
    EXPECT_EQ(scene.LogCount("_newpid is 0100\n"), 1u);
}

TEST_F(PhoneDecisionTest, PidZeroHasNoNeighbourAndIsCached)
{
    LoadWhitelist(Entry("18D1", "0001", "a", "yes"));
    EXPECT_FALSE(decision.IsPhoneShort("USB#VID_18D1&PID_0000#S"));
    EXPECT_EQ(scene.LogCount("_newvidpid is VID_18D1&PID_\n"), 2u);
    EXPECT_TRUE(service.VendorCacheOf().Has("VID_18D1&PID_0000"));
}

TEST_F(PhoneDecisionTest, UnknownVendorIsNeverAPhoneWhateverItsInterfaces)
{
    LoadWhitelist(Entry("18D1", "4EE2", "Nexus 5", "yes"));
    scene.tree.AddPhone(L"046D", L"C52B", L"0123");
    EXPECT_FALSE(decision.IsPhoneFull("USB#VID_046D&PID_C52B#0123"));
    EXPECT_FALSE(decision.IsPhoneShort("USB#VID_046D&PID_C52B#0123"));
    USB::PhoneInfos found;
    EXPECT_FALSE(decision.CheckBySystem("USB#VID_046D&PID_C52B#0123", found, 0));
    EXPECT_TRUE(found.empty());
    EXPECT_GE(scene.LogCount("no this vendor 046D\n"), 3u);
    EXPECT_EQ(scene.tree.usbListings, 0);
}

TEST_F(PhoneDecisionTest, SecondQueryAboutANonPhoneLooksNothingUp)
{
    LoadWhitelist(Entry("18D1", "4EE2", "Nexus 5", "yes"));
    EXPECT_FALSE(decision.IsPhoneFull("USB#VID_18D1&PID_1234#S"));
    const size_t neighbourLines = scene.LogCount("_oldpid is 1234\n");
    EXPECT_EQ(neighbourLines, 2u);
    EXPECT_TRUE(service.VendorCacheOf().Has("VID_18D1&PID_1234"));

    EXPECT_FALSE(decision.IsPhoneFull("USB#VID_18D1&PID_1234#OTHER"));
    EXPECT_FALSE(decision.IsPhoneShort("USB#VID_18D1&PID_1234#OTHER"));
    EXPECT_EQ(scene.LogCount("_oldpid is 1234\n"), neighbourLines);
    EXPECT_EQ(scene.LogCount("check if this device a phone by system"), 0u);
    EXPECT_EQ(scene.tree.usbListings, 0);
}

TEST_F(PhoneDecisionTest, SystemCheckFindsTheAdbInterfaceOfAKnownVendor)
{
    LoadWhitelist("");
    scene.tree.AddPhone(L"18D1", L"D001", L"ABC123", L"Pixel ADB");
    USB::PhoneInfos found;
    ASSERT_TRUE(decision.CheckBySystem("USB#VID_18D1&PID_D001#ABC123", found, 1));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0]->_phone_sn_instance_id, L"USB#VID_18D1&PID_D001#ABC123");
    EXPECT_EQ(scene.LogCount("check if this device a phone by system USB#VID_18D1&PID_D001#ABC123\n"), 1u);
    EXPECT_EQ(scene.LogCount("this device is a phone via registry\n"), 1u);

    // The full decision reaches the system check only with an empty cache: the neighbour
    // check has just recorded this id as no phone.
    EXPECT_FALSE(decision.IsPhoneFull("USB#VID_18D1&PID_D001#ABC123"));
    EXPECT_EQ(scene.tree.usbListings, 1);
}

TEST_F(PhoneDecisionTest, SystemCheckRetriesOncePerSecond)
{
    LoadWhitelist("");
    scene.tree.AddPhone(L"18D1", L"D001", L"ABC123", L"x", false);
    USB::PhoneInfos found;
    EXPECT_FALSE(decision.CheckBySystem("USB#VID_18D1&PID_D001#ABC123", found, 1));
    EXPECT_EQ(scene.tree.usbListings, 2);
    EXPECT_EQ(scene.platform.clock.CountSleeps(1000), 1u);
}

TEST_F(PhoneDecisionTest, IdsThatAreNotFourHexDigitsAreRefusedUnlogged)
{
    LoadWhitelist(Entry("18D1", "4EE2", "Nexus 5", "yes"));
    for (const char* id : {"USB#ROOT_HUB20#4&1234", "garbage", "USB#VID_18D1&PID_4E#S", "USB#VID_18D1&PID_4EE3X#S",
                           "USB#VID_18D1\nX&PID_4EE2#S"}) {
        EXPECT_FALSE(decision.IsPhoneFull(id)) << id;
        EXPECT_FALSE(decision.IsPhoneShort(id)) << id;
    }
    EXPECT_GE(scene.LogCount("a vendor or product id that is not four hex digits is refused\n"), 10u);
    EXPECT_EQ(scene.LogCount("no this vendor"), 0u);
    EXPECT_EQ(scene.LogCount("_oldpid is"), 0u);
}

TEST_F(PhoneDecisionTest, HasPhoneIsFalseWhileThePluggedPhoneIsAlreadyRecorded)
{
    LoadWhitelist(Entry("18D1", "4EE2", "Nexus 5", "yes"));
    scene.tree.AddPhone(L"18D1", L"4EE2", L"0123456789ABCDEF");
    EXPECT_TRUE(USB::HasPhoneDecision(service.Decision(), service.Devices(), service.Updater(), service.VendorCacheOf()));

    auto* record = new USB::UsbDevice();
    record->m_pDeviceSn = "0123456789ABCDEF";
    record->m_vidPid = "VID_18D1&PID_4EE2";
    ASSERT_EQ(service.Devices().Add(std::unique_ptr<USB::UsbDevice>(record)), 0);
    EXPECT_FALSE(USB::HasPhoneDecision(service.Decision(), service.Devices(), service.Updater(), service.VendorCacheOf()));
}

}  // namespace
