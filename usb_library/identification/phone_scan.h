// Scans of the device tree that need the phone decision: present phones, the phone list, what a
// device-tree change was, and whether a recorded phone is still plugged in.
#pragma once

#include <functional>
#include <string>

#include "discovery/device_records.h"
#include "identification/phone_decision.h"
#include "identification/not_phone_cache.h"
#include "identification/whitelist_update.h"

namespace USB {

// Posts a DEVICE_ONLINE text for every present phone without a record; true when any phone
// (recorded or not) is present.
bool ScanPresentPhones(PhoneDecision& decision, UsbDeviceList& devices, bool shortDecision,
                       const std::function<void(const std::string&)>& post);
// The scans of a start: the short decision (nothing leaves the machine) posts the present phones;
// when it finds none, the full decision scans again with the short one's answers forgotten.
// `afterShort` runs between the two.
void StartUpScans(PhoneDecision& decision, UsbDeviceList& devices, NotPhoneCache& notPhoneCache,
                  const std::function<void(const std::string&)>& post, const std::function<void()>& afterShort);
// The host's phone list ([{"phone":path}...]); true when any phone is present.
bool BuildPhoneList(PhoneDecision& decision, std::string& out);
// What a change of the device tree came to.
enum class DeviceChange {
    NewPhone,        // a phone without a record arrived
    PhonesRecorded,  // phones are present, all recorded
    NoPhone,
};
DeviceChange ClassifyDeviceChange(PhoneDecision& decision, UsbDeviceList& devices, bool shortDecision);
// Whether the phone with this vendor/product key and Windows serial is still plugged in.
bool IsPhonePresent(PhoneDecision& decision, const std::string& vidPid, const std::string& serial);
// The any-phone decision behind IUSB_hasPhone: the short form, then the full one after the
// whitelist digest step.
bool HasPhoneDecision(PhoneDecision& decision, UsbDeviceList& devices, WhitelistUpdater& updater,
                      NotPhoneCache& notPhoneCache);

}  // namespace USB
