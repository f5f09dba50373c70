#include "service/USB_Service.h"

// Placeholder connection pipeline.
namespace USB {
int UsbService::CheckConnection(UsbDevice*) { return -1; }
int UsbService::CheckAdbConnection(UsbDevice*) { return -1; }
AdbDevice* UsbService::FindAdbDevice(UsbDevice*) { return nullptr; }
void UsbService::RefreshAdbDevices() {}
void UsbService::RetryDevice(const std::string&) {}
void UsbService::RegisterAdbInterfaces(PhoneSystemInfo&, std::vector<PhoneSystemInfo*>&) {}
}  // namespace USB
