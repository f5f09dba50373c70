#include "pipeline/driver_provisioning.h"

#include "service/USB_Service.h"

// Placeholder driver provisioning.
namespace USB {
UsbService* volatile g_installingService = nullptr;
void WaitForWindowsDriverInstall(const std::string&) {}
unsigned DriverInstallThread(void*) { return 0; }
std::string GetTempDirectory() { return std::string(); }
std::string GetPackageExtension(const std::string&) { return std::string(); }
int InstallThroughHostService(const std::string&) { return 0; }
int UsbService::CheckDriver(UsbDevice*) { return -1; }
int UsbService::DownloadAndInstallDriver(UsbDevice*, const std::string&, const std::string&, bool) { return -1; }
int UsbService::WaitForPendingDriverInstall(UsbDevice*, int) { return -2; }
}  // namespace USB
