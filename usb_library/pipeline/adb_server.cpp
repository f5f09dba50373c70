#include "service/USB_Service.h"

// Placeholder ADB server management.
namespace USB {
void UsbService::StartAdbServer() {}
int UsbService::EnsureAdbServer() { return -1; }
int UsbService::HandleAdbServerException(UsbDevice*) { return 0; }
void UsbService::KillAdbServerCommand(const std::string& serial) { RetryDevice(serial); }
}  // namespace USB
