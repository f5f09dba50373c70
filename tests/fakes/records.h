// The one record builder: a device record as the arrival flow leaves it in the list.
#pragma once

#include <string>

#include "discovery/device_records.h"

namespace USB {
namespace Fake {

inline DeviceRecord Record(const std::string& serial, const std::string& vid = "18D1", const std::string& pid = "4EE2")
{
    DeviceRecord record;
    record.m_serial = serial;
    record.m_vid = vid;
    record.m_pid = pid;
    record.m_vidPid = "VID_" + vid + "&PID_" + pid;
    record.m_description = "Pixel";
    return record;
}

}  // namespace Fake
}  // namespace USB
