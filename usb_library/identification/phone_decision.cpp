#include "identification/phone_decision.h"

// Placeholder decision: nothing is a phone yet.
namespace USB {
bool IsPhoneFull(UsbService&, const std::string&) { return false; }
bool IsPhoneShort(UsbService&, const std::string&) { return false; }
bool CheckExactFull(PhoneSystemInfo&, UsbService&, const std::string&) { return false; }
bool CheckExactShort(UsbService&, const std::string&, const std::string&, PhoneSystemInfo&) { return false; }
bool CheckNeighbourPids(PhoneSystemInfo&, UsbService&, const std::string&, bool) { return false; }
bool QueryNeighbour(const std::string&, const std::string&, UsbService&, const std::string&, PhoneSystemInfo&, bool) { return false; }
bool CheckBySystem(UsbService&, const std::string&, std::vector<PhoneSystemInfo*>&, int) { return false; }
bool HasPhoneDecision(UsbService&) { return false; }
}  // namespace USB
