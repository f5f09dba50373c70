// The service's device list and the record makers: keys, case rules, first-wins, ownership.
#include <gtest/gtest.h>

#include <vector>

#include "discovery/USB_DeviceList.h"
#include "fakes/fake_platform.h"
#include "fakes/host_recorder.h"
#include "service/USB_Service.h"

namespace {

using USB::UsbDevice;
using USB::UsbDeviceList;

UsbDevice* Record(const std::string& serial, const std::string& vidPid = "VID_18D1&PID_4EE2",
                  const std::string& desc = "")
{
    UsbDevice* d = new UsbDevice();
    d->m_pDeviceSn = serial;
    d->m_vidPid = vidPid;
    d->m_description = desc;
    return d;
}

TEST(DeviceList, FirstRecordOfASerialWins)
{
    UsbDeviceList list;
    EXPECT_EQ(list.Add(std::unique_ptr<USB::UsbDevice>(Record("SER1", "VID_18D1&PID_4EE2", "first"))), 0);
    UsbDevice* second = Record("SER1", "VID_18D1&PID_4EE2", "second");
    EXPECT_EQ(list.Add(std::unique_ptr<USB::UsbDevice>(second)), -1);
    EXPECT_EQ(list.Add(std::unique_ptr<USB::UsbDevice>(nullptr)), -1);
    ASSERT_NE(list.FindBySn("SER1"), nullptr);
    EXPECT_EQ(list.FindBySn("SER1")->m_description, "first");
    EXPECT_EQ(list.FindBySn("SER1")->m_systemSn, "SER1");
    EXPECT_EQ(list.Size(), 1u);
}

TEST(DeviceList, LookupTriesUpperThenLowerCaseThenTheExactSerial)
{
    USB::Fake::Platform platform;
    UsbDeviceList list;
    list.Add(std::unique_ptr<USB::UsbDevice>(Record("ABC123")));
    list.Add(std::unique_ptr<USB::UsbDevice>(Record("xyz9")));
    list.Add(std::unique_ptr<USB::UsbDevice>(Record("MiXed")));
    EXPECT_EQ(list.FindBySn("abc123")->m_pDeviceSn, "ABC123");
    EXPECT_EQ(list.FindBySn("XYZ9")->m_pDeviceSn, "xyz9");
    // A mixed-case serial, or one taken from the ADB server, is found by an exact walk.
    EXPECT_EQ(list.FindBySn("MiXed")->m_pDeviceSn, "MiXed");
    EXPECT_EQ(list.FindBySn("mixED"), nullptr);
    EXPECT_EQ(list.FindBySn("nothere"), nullptr);
    EXPECT_EQ(list.FindBySn(""), nullptr);
    const std::string log = USB::Fake::UnixLines(platform.LogText());
    EXPECT_NE(log.find("m_pDeviceSn is MiXed\n"), std::string::npos);
    EXPECT_NE(log.find("_id is mixED\n"), std::string::npos);
}

TEST(DeviceList, VendorProductLookupReturnsTheSerialThatSortsFirst)
{
    UsbDeviceList list;
    list.Add(std::unique_ptr<USB::UsbDevice>(Record("B2")));
    list.Add(std::unique_ptr<USB::UsbDevice>(Record("A1")));
    list.Add(std::unique_ptr<USB::UsbDevice>(Record("0X", "VID_18D1&PID_4EE3")));
    EXPECT_EQ(list.FindByVidPid("VID_18D1&PID_4EE2")->m_pDeviceSn, "A1");
    EXPECT_EQ(list.FindByVidPid("VID_18D1&PID_4EE3")->m_pDeviceSn, "0X");
    EXPECT_EQ(list.FindByVidPid("vid_18d1&pid_4ee2"), nullptr);
}

TEST(DeviceList, StopRemoveAndLookupFollowTheDeviceWhateverItsSerialBecame)
{
    UsbDeviceList list;
    list.Add(std::unique_ptr<USB::UsbDevice>(Record("6&2A1B&0&1")));
    list.Add(std::unique_ptr<USB::UsbDevice>(Record("SER2")));
    UsbDevice* corrected = list.FindBySn("6&2A1B&0&1");
    corrected->m_pDeviceSn = "adb-serial";  // took the ADB server's serial

    EXPECT_EQ(list.FindBySn("adb-serial"), corrected);
    EXPECT_EQ(list.FindByDevice("VID_18D1&PID_4EE2", "6&2a1b&0&1"), corrected);
    EXPECT_EQ(list.FindByDevice("VID_18D1&PID_4EE3", "6&2A1B&0&1"), nullptr);
    EXPECT_EQ(list.FindByDevice("VID_18D1&PID_4EE2", "adb-serial"), nullptr);

    list.MarkStop("VID_18D1&PID_4EE2", "6&2A1B&0&1");
    EXPECT_TRUE(corrected->m_stop);
    EXPECT_FALSE(list.FindBySn("SER2")->m_stop);
    list.Remove(corrected);
    EXPECT_EQ(list.Size(), 1u);
    EXPECT_EQ(list.FindBySn("SER2")->m_pDeviceSn, "SER2");
}

TEST(DeviceList, AnotherDevicesRemovalTouchesNoRecord)
{
    // Rows: records present, then the device that leaves (key, serial).
    const struct {
        std::vector<std::string> serials;
        const char* key;
        const char* serial;
    } rows[] = {
        {{"PHONE1"}, "VID_1234&PID_5679", "MOUSE1"},            // the only record, another device
        {{"PHONE1"}, "VID_18D1&PID_4EE3", "PHONE1"},            // same serial, another model
        {{"PHONE1", "PHONE2"}, "VID_18D1&PID_4EE2", "PHONE3"},  // a third phone of the model
    };
    for (const auto& row : rows) {
        UsbDeviceList list;
        for (const std::string& serial : row.serials)
            list.Add(std::unique_ptr<USB::UsbDevice>(Record(serial)));
        list.MarkStop(row.key, row.serial);
        UsbDevice stranger;
        list.Remove(&stranger);
        EXPECT_EQ(list.Size(), row.serials.size()) << row.serial;
        for (const std::string& serial : row.serials)
            EXPECT_FALSE(list.FindBySn(serial)->m_stop) << row.serial;
    }
}

TEST(RecordMakers, InterfacePathSplitsTheParentInstanceId)
{
    USB::Fake::Platform platform;
    USB::UsbService service;
    USB::PhoneSystemInfo info;
    info._phone_sn_instance_id = L"USB#VID_18D1&PID_4EE2#0123ABC";
    info.m_interfaceId = L"USB#VID_18D1&PID_4EE2&MI_01#6&1A2B&0&0001";
    info.m_hardwareId = L"USB\\VID_18D1&PID_4EE2&MI_01";
    info.m_compatibleId = L"USB\\Class_FF&SubClass_42&Prot_01";
    info.m_description = L"ADB Interface";

    ASSERT_EQ(USB::AddDeviceFromInterface(service.Devices(), info), 0);
    UsbDevice* d = service.Devices().FindBySn("0123ABC");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->m_enumerator, "USB");
    EXPECT_EQ(d->m_vid, "18D1");
    EXPECT_EQ(d->m_pid, "4EE2");
    EXPECT_EQ(d->m_vidPid, "VID_18D1&PID_4EE2");
    EXPECT_EQ(d->m_interfaceId, "USB#VID_18D1&PID_4EE2&MI_01#6&1A2B&0&0001");
    EXPECT_EQ(d->m_description, "ADB Interface");
    EXPECT_TRUE(d->m_fromList);
    EXPECT_TRUE(d->m_isAdbOpen);
    EXPECT_EQ(USB::AddDeviceFromInterface(service.Devices(), info), -1);

    // A re-scan refreshes the same record in place.
    info._phone_sn_instance_id = L"USB#VID_18D1&PID_4EE7#0123ABC";
    USB::UpdateDeviceFromInterface(*d, info);
    EXPECT_EQ(d->m_pid, "4EE7");
    EXPECT_NE(USB::Fake::UnixLines(platform.LogText()).find("phoneInfo->_phone_sn_instance_id is USB#VID_18D1&PID_4EE7#0123ABC\n"),
              std::string::npos);
}

TEST(RecordMakers, WhitelistPathTakesTheCallersIds)
{
    USB::Fake::Platform platform;
    USB::UsbService service;
    USB::PhoneSystemInfo info;
    info.m_serial = L"SER9";
    info.m_description = L"Some Phone";
    info.m_isAdbOpen = false;

    ASSERT_EQ(USB::CreateDeviceNode(service.Devices(), info, "2717", "FF48"), 0);
    UsbDevice* d = service.Devices().FindBySn("SER9");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->m_vidPid, "VID_2717&PID_FF48");
    EXPECT_EQ(d->m_description, "Some Phone");
    EXPECT_FALSE(d->m_isAdbOpen);
    EXPECT_TRUE(d->m_fromList);
    EXPECT_EQ(USB::CreateDeviceNode(service.Devices(), info, "2717", "FF48"), -1);
    EXPECT_EQ(service.Devices().Size(), 1u);
    EXPECT_NE(USB::Fake::UnixLines(platform.LogText()).find("this device is a phone by quering the whitelist\n"), std::string::npos);
}

}  // namespace
