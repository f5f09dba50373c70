#include "service/USB_Service.h"

// Placeholder whitelist refresh.
namespace USB {
unsigned UsbService::WhitelistCheckThread(void*) { return 0; }
unsigned UsbService::WhitelistUpdateThread(void*) { return 0; }
void UsbService::WhitelistDigestStep() {}
}  // namespace USB
