#include "identification/phone_scan.h"

#include "discovery/device_scan.h"
#include "support/actions.h"
#include "support/json_utils.h"
#include "support/sys_utils.h"
#include "support/usb_log.h"

namespace USB {

namespace {

bool IsPhone(PhoneDecision& decision, const std::string& hashForm, bool shortDecision)
{
    return shortDecision ? decision.IsPhoneShort(hashForm) : decision.IsPhoneFull(hashForm);
}

}  // namespace

bool ScanPresentPhones(PhoneDecision& decision, UsbDeviceList& devices, bool shortDecision,
                       const std::function<void(const std::string&)>& post)
{
    bool found = false;
    for (const UsbNode& node : ListUsbNodes()) {
        ScanCandidate c;
        if (!TakeCandidate(node, c))
            continue;
        if (RecordOfNode(devices, node, c))
            continue;
        if (!IsPhone(decision, c.hashForm, shortDecision))
            continue;
        found = true;
        if (IsInterfaceId(c.id))
            continue;
        USB_LOG("find a usb phone is %s\n", c.hashForm.c_str());
        Json::Value message(Json::objectValue);
        message["action"] = ActionText(Action::DeviceOnline);
        message["device_info"] = PhonePath(c.hashForm);
        post(WriteJson(message));
    }
    return found;
}

void StartUpScans(PhoneDecision& decision, UsbDeviceList& devices, NotPhoneCache& notPhoneCache,
                  const std::function<void(const std::string&)>& post, const std::function<void()>& afterShort)
{
    const bool found = ScanPresentPhones(decision, devices, true, post);
    if (afterShort)
        afterShort();
    if (!found) {
        notPhoneCache.Clear();
        ScanPresentPhones(decision, devices, false, post);
    }
}

bool BuildPhoneList(PhoneDecision& decision, std::string& out)
{
    bool found = false;
    Json::Value list(Json::arrayValue);
    for (const UsbNode& node : ListUsbNodes()) {
        ScanCandidate c;
        if (!TakeCandidate(node, c))
            continue;
        if (!decision.IsPhoneFull(c.hashForm))
            continue;
        found = true;
        if (IsInterfaceId(c.id))
            continue;
        USB_LOG("find a usb phone is %s\n", c.hashForm.c_str());
        Json::Value phone(Json::objectValue);
        phone["phone"] = PhonePath(c.hashForm);
        list.append(phone);
    }
    out = WriteJson(list);
    return found;
}

DeviceChange ClassifyDeviceChange(PhoneDecision& decision, UsbDeviceList& devices, bool shortDecision)
{
    bool seen = false;
    for (const UsbNode& node : ListUsbNodes()) {
        ScanCandidate c;
        if (!TakeCandidate(node, c))
            continue;
        if (!IsPhone(decision, c.hashForm, shortDecision))
            continue;
        seen = true;
        if (!RecordOfNode(devices, node, c)) {
            USB_LOG("there is a new device plug in\n");
            return DeviceChange::NewPhone;
        }
    }
    return seen ? DeviceChange::PhonesRecorded : DeviceChange::NoPhone;
}

bool IsPhonePresent(PhoneDecision& decision, const std::string& vidPid, const std::string& serial)
{
    const std::string wanted = ToUpperAscii(serial);
    for (const UsbNode& node : ListUsbNodes()) {
        ScanCandidate c;
        if (!TakeCandidate(node, c) || IsInterfaceId(c.id))
            continue;
        if (c.parts.key == vidPid && c.parts.serial == wanted && decision.IsPhoneFull(c.hashForm))
            return true;
    }
    return false;
}

bool HasPhoneDecision(PhoneDecision& decision, UsbDeviceList& devices, WhitelistUpdater& updater,
                      NotPhoneCache& notPhoneCache)
{
    if (ClassifyDeviceChange(decision, devices, true) == DeviceChange::NewPhone)
        return true;
    updater.WhitelistDigestStep();
    notPhoneCache.Clear();
    return ClassifyDeviceChange(decision, devices, false) == DeviceChange::NewPhone;
}

}  // namespace USB
