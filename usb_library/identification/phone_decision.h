// Is a USB device a phone we should take up? Full and short forms, with a negative cache.
#pragma once

#include <string>
#include <vector>

#include "discovery/USB_DeviceList.h"

namespace USB {

class UsbService;

bool IsPhoneFull(UsbService& service, const std::string& id);
bool IsPhoneShort(UsbService& service, const std::string& id);
bool CheckExactFull(PhoneSystemInfo& info, UsbService& service, const std::string& id);
bool CheckExactShort(UsbService& service, const std::string& vid, const std::string& pid, PhoneSystemInfo& info);
bool CheckNeighbourPids(PhoneSystemInfo& info, UsbService& service, const std::string& id, bool localOnly);
bool QueryNeighbour(const std::string& vid, const std::string& oldPid, UsbService& service,
                    const std::string& newPid, PhoneSystemInfo& info, bool localOnly);
bool CheckBySystem(UsbService& service, const std::string& id, std::vector<PhoneSystemInfo*>& out, int retries);
// The any-phone decision behind IUSB_hasPhone.
bool HasPhoneDecision(UsbService& service);

}  // namespace USB
