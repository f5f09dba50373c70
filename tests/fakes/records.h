// The one record builder: a device record as the arrival flow leaves it in the list.
#pragma once

#include <memory>
#include <string>

#include "discovery/device_records.h"

namespace USB {
namespace Fake {

// Fills in the record's identity as the arrival flow does.
inline DeviceRecord& Describe(DeviceRecord& record, const std::string& serial, const std::string& vid = "18D1",
                              const std::string& pid = "4EE2", const std::string& description = "Pixel")
{
    record.m_serial = serial;
    record.m_vid = vid;
    record.m_pid = pid;
    record.m_vidPid = "VID_" + vid + "&PID_" + pid;
    record.m_description = description;
    return record;
}

// Adds the record to the list (which owns it); null when the serial is there already.
inline DeviceRecord* AddRecord(UsbDeviceList& list, const std::string& serial, const std::string& vid = "18D1",
                               const std::string& pid = "4EE2", const std::string& description = "Pixel")
{
    DeviceRecord record;
    Describe(record, serial, vid, pid, description);
    return list.Add(record) ? list.FindByDevice(record.m_vidPid, serial) : nullptr;
}

}  // namespace Fake
}  // namespace USB
