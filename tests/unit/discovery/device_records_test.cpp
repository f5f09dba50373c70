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
    const struct {
        const char* asked;
        const char* found;
    } bySerial[] = {
        {"abc123", "ABC123"}, {"XYZ9", "xyz9"},     {"MiXed", "MiXed"},  // upper, lower, then the exact serial
        {"mixED", nullptr},   {"nothere", nullptr}, {"", nullptr},
    };
    for (const auto& row : bySerial) {
        DeviceRecord* found = list.FindBySn(row.asked);
        EXPECT_EQ(found ? found->m_serial : "none", row.found ? row.found : "none") << row.asked;
    }
    EXPECT_EQ(list.FindBySn("A1")->m_vidPid, "VID_18D1&PID_4EE2");
    EXPECT_EQ(list.FindByVidPid("VID_18D1&PID_4EE2")->m_serial, "A1");  // the serial that sorts first
    EXPECT_EQ(list.FindByVidPid("vid_18d1&pid_4ee2"), nullptr);
}

TEST(DeviceList, ARemovalRemovesOnlyItsOwnDeviceWhateverItsSerialBecame)
{
    UsbDeviceList list;
    DeviceRecord* corrected = Fake::AddRecord(list, "6&2A1B&0&1");
    Fake::AddRecord(list, "SER2");
    corrected->m_serial = "adb-serial";  // took the ADB server's serial
    EXPECT_EQ(list.FindBySn("adb-serial"), corrected);
    EXPECT_EQ(list.FindByDevice("VID_18D1&PID_4EE2", "6&2a1b&0&1"), corrected);
    EXPECT_EQ(list.FindByDevice("VID_18D1&PID_4EE3", "6&2A1B&0&1"), nullptr);
    EXPECT_EQ(list.FindByDevice("VID_18D1&PID_4EE2", "adb-serial"), nullptr);
    DeviceRecord stranger;
    list.Remove(&stranger);
    EXPECT_EQ(list.Size(), 2u);
    list.Remove(corrected);
    EXPECT_EQ(list.Size(), 1u);
}

}  // namespace
