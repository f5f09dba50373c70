// The device list: which record a serial, a model or a leaving device finds. (What the record
// makers leave in a record shows in the host payloads of the device flows.)
#include <gtest/gtest.h>

#include "discovery/device_records.h"
#include "fakes/fake_platform.h"
#include "fakes/records.h"

namespace {

using namespace USB;

TEST(DeviceList, WhichRecordALookupFinds)
{
    Fake::Platform platform;
    UsbDeviceList list;
    for (const char* serial : {"ABC123", "xyz9", "MiXed", "B2", "A1"})
        ASSERT_NE(Fake::AddRecord(list, serial), nullptr);
    ASSERT_NE(Fake::AddRecord(list, "0X", "18D1", "4EE3"), nullptr);
    EXPECT_EQ(Fake::AddRecord(list, "A1", "18D1", "4EE3"), nullptr);  // the first record of a serial wins
    EXPECT_EQ(list.Add(nullptr), kRecordNotAdded);
    const struct {
        const char* asked;
        const char* found;
    } bySerial[] = {
        {"abc123", "ABC123"}, {"XYZ9", "xyz9"},     {"MiXed", "MiXed"},  // upper, lower, then the exact serial
        {"mixED", nullptr},   {"nothere", nullptr}, {"", nullptr},
    };
    for (const auto& row : bySerial) {
        UsbDevice* found = list.FindBySn(row.asked);
        EXPECT_EQ(found ? found->m_serial : "none", row.found ? row.found : "none") << row.asked;
    }
    EXPECT_EQ(list.FindBySn("A1")->m_vidPid, "VID_18D1&PID_4EE2");
    EXPECT_EQ(list.FindByVidPid("VID_18D1&PID_4EE2")->m_serial, "A1");  // the serial that sorts first
    EXPECT_EQ(list.FindByVidPid("vid_18d1&pid_4ee2"), nullptr);
}

TEST(DeviceList, ARemovalStopsAndRemovesOnlyItsOwnDeviceWhateverItsSerialBecame)
{
    UsbDeviceList list;
    UsbDevice* corrected = Fake::AddRecord(list, "6&2A1B&0&1");
    Fake::AddRecord(list, "SER2");
    corrected->m_serial = "adb-serial";  // took the ADB server's serial
    EXPECT_EQ(list.FindBySn("adb-serial"), corrected);
    EXPECT_EQ(list.FindByDevice("VID_18D1&PID_4EE2", "6&2a1b&0&1"), corrected);
    EXPECT_EQ(list.FindByDevice("VID_18D1&PID_4EE3", "6&2A1B&0&1"), nullptr);
    EXPECT_EQ(list.FindByDevice("VID_18D1&PID_4EE2", "adb-serial"), nullptr);

    // Devices that leave while these two are recorded: nothing is stopped or removed.
    const struct {
        const char* key;
        const char* serial;
    } unrelated[] = {
        {"VID_1234&PID_5679", "MOUSE1"},
        {"VID_18D1&PID_4EE3", "SER2"},
        {"VID_18D1&PID_4EE2", "PHONE3"},
        {"VID_18D1&PID_4EE2", "adb-serial"},
    };
    for (const auto& row : unrelated)
        list.MarkStop(row.key, row.serial);
    UsbDevice stranger;
    list.Remove(&stranger);
    EXPECT_EQ(list.Size(), 2u);
    EXPECT_FALSE(corrected->m_stop || list.FindBySn("SER2")->m_stop);

    list.MarkStop("VID_18D1&PID_4EE2", "6&2A1B&0&1");
    EXPECT_TRUE(corrected->m_stop);
    EXPECT_FALSE(list.FindBySn("SER2")->m_stop);
    list.Remove(corrected);
    EXPECT_EQ(list.Size(), 1u);
}

}  // namespace
