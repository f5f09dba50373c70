// Client of the cloud service that knows phones and their ADB drivers.
#pragma once

#include <string>

#include "discovery/USB_DeviceList.h"

namespace USB {

class UsbCloud {
public:
    UsbCloud();
    virtual ~UsbCloud() = default;

    bool QueryDevice(PhoneSystemInfo& info, const std::string& vid, const std::string& pid);
    bool QueryDriver(UsbDevice* device);
    bool ReportDriver(const std::string& vid, const std::string& pid);
    bool ReportInstallError(const std::string& vid, const std::string& pid);
    std::string MakeToken(const std::string& vid, const std::string& pid) const;

    std::string m_baseUrl;
    std::string m_key;
    volatile bool m_whitelistIsLatest = false;
};

}  // namespace USB
