// Is this USB device a phone? The full and short decisions, the neighbour ids, the system check
// and the negative cache.
#include <gtest/gtest.h>

#include "fakes/device_scene.h"
#include "fakes/records.h"
#include "identification/phone_decision.h"
#include "identification/phone_scan.h"
#include "identification/whitelist_update.h"
#include "support/config.h"

namespace {

using namespace USB;
using Fake::Entry;

class PhoneDecisionTest : public ::testing::Test {
protected:
    PhoneDecisionTest()
    {
        scene.WriteShippedWhitelist(
            Fake::FileOf(Entry("18D1", "4EE2", "Nexus 5", "yes") + "," + Entry("04E8", "6860", "Galaxy", "no") + "," +
                         Entry("18D1", "4EEA", "a", "yes") + "," + Entry("18D1", "0100", "b", "yes") + "," +
                         Entry("18D1", "0001", "c", "yes")));
        pieces.whiteList.EnsureLoaded();
    }
    // The short and the full answer, and what the whitelist step says of the device.
    std::string Decide(const std::string& id)
    {
        PhoneSystemInfo info;
        const bool listed = decision.CheckExactFull(info, id) || decision.CheckNeighbourPids(info, id, true);
        const std::string answers = std::string(decision.IsPhoneShort(id) ? "phone|" : "no|");  // in this order
        return answers + (decision.IsPhoneFull(id) ? "phone" : "no") +
               (listed ? "|" + info.m_description + (info.m_isAdbOpen ? "|open" : "|closed") + "|" + info.m_serial
                       : "");
    }

    Fake::Scene scene;
    Fake::DecisionPieces pieces;
    PhoneDecision& decision = pieces.decision;
};

// A model found in neither list is a phone by its own ADB interface; only a model that fails
// that check as well is cached.
TEST_F(PhoneDecisionTest, ExactEntriesNeighbourPidsAndTheDevicesOwnAdbInterface)
{
    scene.tree.AddPhone("18D1", "D001", "ABC123");
    const struct {
        const char* id;
        const char* answer;
    } rows[] = {
        {"USB#VID_18D1&PID_4EE2#0123456789ABCDEF", "phone|phone|Nexus 5|open|0123456789ABCDEF"},
        {"USB#VID_04E8&PID_6860#S", "phone|phone|Galaxy|closed|S"},
        {"USB#VID_18D1&PID_4EE3#SERIAL1", "phone|phone|Nexus 5|closed|SERIAL1"},  // one above: ADB closed
        {"USB#VID_18D1&PID_4EE1#SERIAL2", "phone|phone|Nexus 5|closed|SERIAL2"},  // one below
        {"USB#VID_18D1&PID_4EEB#S", "phone|phone|a|closed|S"},                    // upper-case hex neighbours
        {"USB#VID_18D1&PID_00FF#S", "phone|phone|b|closed|S"},                    // four digits
        {"USB#VID_18D1&PID_0000#S", "no|no"},                                     // no neighbour below zero
        {"USB#VID_18D1&PID_1234#S", "no|no"},
        {"USB#VID_18D1&PID_D001#ABC123", "no|phone"},  // its ADB interface
    };
    for (const auto& row : rows)
        EXPECT_EQ(Decide(row.id), row.answer) << row.id;
    EXPECT_TRUE(pieces.notPhoneCache.Has("VID_18D1&PID_0000") && pieces.notPhoneCache.Has("VID_18D1&PID_1234"));
    EXPECT_FALSE(pieces.notPhoneCache.Has("VID_18D1&PID_D001"));
    // A second question about a cached non-phone looks nothing up.
    const size_t looks = Fake::CountOf(scene.platform.Log(), "_oldpid is 1234\n");
    EXPECT_EQ(Decide("USB#VID_18D1&PID_1234#OTHER"), "no|no");
    EXPECT_EQ(Fake::CountOf(scene.platform.Log(), "_oldpid is 1234\n"), looks);
}

TEST_F(PhoneDecisionTest, UnknownVendorsAndIdsThatAreNotFourHexDigitsAreNeverPhones)
{
    scene.tree.AddPhone("046D", "C52B", "0123");
    EXPECT_EQ(Decide("USB#VID_046D&PID_C52B#0123"), "no|no");
    PhoneInfos found;
    EXPECT_FALSE(decision.CheckBySystem("USB#VID_046D&PID_C52B#0123", found, 0));
    EXPECT_EQ(scene.tree.usbListings, 0);  // whatever its interfaces

    for (const char* id : {"USB#ROOT_HUB20#4&1234", "garbage", "USB#VID_18D1&PID_4E#S", "USB#VID_18D1&PID_4EE3X#S",
                           "USB#VID_18D1\nX&PID_4EE2#S"})
        EXPECT_EQ(Decide(id), "no|no") << id;
    EXPECT_EQ(Fake::LinesWith(scene.platform.Log(), {"_oldpid", "no this vendor 18D1"}), "");
}

TEST_F(PhoneDecisionTest, SystemCheckFindsTheAdbInterfaceOfAKnownVendorRetryingOncePerSecond)
{
    scene.tree.AddPhone("18D1", "D001", "ABC123", "Pixel ADB");
    scene.tree.AddPhone("18D1", "D00F", "NOADB", "x", false);
    PhoneInfos found;
    ASSERT_TRUE(decision.CheckBySystem("USB#VID_18D1&PID_D001#ABC123", found, 1));
    EXPECT_EQ(found.at(0).m_parentInstanceId, "USB#VID_18D1&PID_D001#ABC123");
    EXPECT_FALSE(decision.CheckBySystem("USB#VID_18D1&PID_D00F#NOADB", found, 1));
    EXPECT_EQ(scene.tree.usbListings, 3);
    EXPECT_EQ(scene.platform.clock.CountSleeps(1000), 1u);
}

TEST_F(PhoneDecisionTest, HasPhoneOnlyForAPluggedPhoneWithoutARecord)
{
    const UsbConfig config;
    Mutex serviceLock;
    WhitelistUpdater updater(pieces.whiteList, pieces.notPhoneCache, pieces.cloud, serviceLock, config,
                             [](std::function<void()>) {});
    auto hasPhone = [&] { return HasPhoneDecision(decision, pieces.devices, updater, pieces.notPhoneCache); };
    EXPECT_FALSE(hasPhone());
    scene.tree.AddPhone("18D1", "4EE2", "0123456789ABCDEF");
    EXPECT_TRUE(hasPhone());
    pieces.devices.Add(Fake::Record("0123456789ABCDEF"));
    EXPECT_FALSE(hasPhone());
}

}  // namespace
