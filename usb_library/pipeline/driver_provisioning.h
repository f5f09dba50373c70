// Step 2 of the pipeline: make sure Windows has an ADB driver bound to the phone.
#pragma once

#include <string>

namespace USB {

class UsbService;
class UsbDevice;

// Waits for Windows' own driver installation before a new phone's interfaces are probed.
void WaitForWindowsDriverInstall(const std::string& vidPid);
unsigned DriverInstallThread(void* device);
std::string GetTempDirectory();
std::string GetPackageExtension(const std::string& url);
int InstallThroughHostService(const std::string& command);

// Non-null while a driver install thread runs.
extern UsbService* volatile g_installingService;

}  // namespace USB
