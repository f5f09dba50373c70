#include "cloud/Usb_Cloud.h"

// Placeholder cloud client: nothing is known.
namespace USB {
UsbCloud::UsbCloud() : m_key("t4#Wq9!zeL2$rn7^Kp&8vB*x3@jM6%oY1-sd") {}
bool UsbCloud::QueryDevice(PhoneSystemInfo&, const std::string&, const std::string&) { return false; }
bool UsbCloud::QueryDriver(UsbDevice*) { return false; }
bool UsbCloud::ReportDriver(const std::string&, const std::string&) { return false; }
bool UsbCloud::ReportInstallError(const std::string&, const std::string&) { return false; }
std::string UsbCloud::MakeToken(const std::string&, const std::string&) const { return std::string(); }
}  // namespace USB
