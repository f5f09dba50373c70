#include "discovery/device_scan.h"

#include "support/ports/ports.h"
#include "support/sys_utils.h"
#include "support/usb_event.h"
#include "support/usb_log.h"

namespace USB {

namespace {

const char kHidClassUpper[] = "{745A17A0-74D3-11D0-B6FE-00A0C90F57DA}";
const char kHidClassLower[] = "{745a17a0-74d3-11d0-b6fe-00a0c90f57da}";
const char kAdbClassLower[] = "Class_ff&SubClass_42";
const char kAdbClassUpper[] = "Class_FF&SubClass_42";
const uint32_t kRetryPauseMs = 1000;

bool Contains(const std::string& text, const char* part)
{
    return text.find(part) != std::string::npos;
}

std::string HashForm(std::string id)
{
    for (char& c : id)
        if (c == '\\')
            c = '#';
    return id;
}

void LogOpenFailure(uint32_t error)
{
    std::string text = GetWindowsErrorText(error);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    USB_LOG("SetupDiGetClassDevs fail, error %u: %s\n", static_cast<unsigned>(error), text.c_str());
}

thread_local TreeSnapshot* t_snapshot = nullptr;

}  // namespace

struct TreeSnapshot::Looks {
    bool haveNodes = false;
    std::vector<UsbNode> nodes;
    bool haveDrivers = false;
    bool driversRead = false;
    std::vector<std::string> drivers;
};

TreeSnapshot::TreeSnapshot() : m_outer(t_snapshot), m_looks(new Looks())
{
    t_snapshot = this;
}

TreeSnapshot::~TreeSnapshot()
{
    t_snapshot = m_outer;
    delete m_looks;
}

void TreeSnapshot::Refresh()
{
    *m_looks = Looks();
}

void TreeSnapshot::RefreshCurrent()
{
    if (t_snapshot)
        t_snapshot->Refresh();
}

namespace {

std::vector<UsbNode> ReadUsbNodes()
{
    std::vector<UsbNode> nodes;
    uint32_t error = 0;
    if (!GetPorts().deviceTree->ListUsbDevices(nodes, error)) {
        LogOpenFailure(error);
        nodes.clear();
    }
    return nodes;
}

// The ADB driver interfaces' instance ids; false (logged) when the set cannot be opened.
bool ReadAdbDriverInterfaces(std::vector<std::string>& ids)
{
    uint32_t error = 0;
    if (GetPorts().deviceTree->ListAdbDriverInterfaces(ids, error))
        return true;
    LogOpenFailure(error);
    return false;
}

}  // namespace

std::vector<UsbNode> ListUsbNodes()
{
    if (!t_snapshot)
        return ReadUsbNodes();
    TreeSnapshot::Looks& looks = *t_snapshot->LooksOf();
    if (!looks.haveNodes) {
        looks.nodes = ReadUsbNodes();
        looks.haveNodes = true;
    }
    return looks.nodes;
}

bool TakeCandidate(const UsbNode& node, ScanCandidate& out)
{
    out.id = ToUpperAscii(node.instanceId);
    out.parts = ParseInstanceId(out.id, '\\');
    if (!Contains(out.parts.key, "VID_") || !Contains(out.parts.key, "PID_"))
        return false;
    if (Contains(node.classGuid, kHidClassUpper) || Contains(node.classGuid, kHidClassLower))
        return false;
    out.hashForm = HashForm(out.id);
    return true;
}

bool IsInterfaceId(const std::string& id)
{
    return Contains(id, "MI_");
}

DeviceRecord* RecordOfNode(UsbDeviceList& list, const UsbNode& node, const ScanCandidate& c)
{
    if (!Contains(c.id, "MI_"))
        return list.FindByDevice(c.parts.key, c.parts.serial);
    if (node.parentId.empty())
        return list.FindByVidPid(c.parts.key);
    const InstanceIdParts parent = ParseInstanceId(ToUpperAscii(node.parentId), '\\');
    return list.FindByDevice(parent.key, parent.serial);
}

std::string PhonePath(const std::string& hashForm)
{
    return "\\\\?\\" + hashForm;
}

InstanceIdParts ParseInstanceId(const std::string& id, char separator)
{
    InstanceIdParts parts;
    std::string segs[3];
    size_t start = 0;
    for (int i = 0; i < 3; ++i) {
        size_t pos = id.find(separator, start);
        segs[i] = id.substr(start, pos == std::string::npos ? std::string::npos : pos - start);
        if (pos == std::string::npos)
            break;
        start = pos + 1;
    }
    const std::string& hw = segs[1];
    // Halves shorter than "VID_"/"PID_" carry no id: the key stays empty.
    size_t amp = hw.find('&');
    if (amp != std::string::npos && amp >= 4) {
        size_t amp2 = hw.find('&', amp + 1);
        std::string pidPart = hw.substr(amp + 1, amp2 == std::string::npos ? std::string::npos : amp2 - amp - 1);
        if (pidPart.size() >= 4) {
            parts.vid = hw.substr(4, amp - 4);
            parts.pid = pidPart.substr(4);
            parts.key = "VID_" + parts.vid + "&PID_" + parts.pid;
        }
    }
    parts.serial = segs[2];
    return parts;
}

bool IsSerialOfAnotherDevice(const std::string& serial, const std::string& vidPid, const std::string& ownSerial)
{
    const std::string wanted = ToUpperAscii(serial);
    if (wanted.empty())
        return false;
    for (const UsbNode& node : ListUsbNodes()) {
        const std::string id = ToUpperAscii(node.instanceId);
        if (Contains(id, "MI_"))
            continue;
        const InstanceIdParts parts = ParseInstanceId(id, '\\');
        if (parts.serial == wanted && !(parts.key == vidPid && parts.serial == ToUpperAscii(ownSerial)))
            return true;
    }
    return false;
}

bool FindAdbInterfaces(const std::string& wanted, PhoneInfos& out, const std::string& serial)
{
    const std::vector<UsbNode> nodes = ListUsbNodes();
    std::vector<std::string> wholeDevices;
    for (const UsbNode& node : nodes) {
        const std::string id = ToUpperAscii(node.instanceId);
        if (id.find(wanted) == std::string::npos || Contains(id, "MI_"))
            continue;
        wholeDevices.push_back(id);
        if (node.noChild)
            USB_LOG("this device no child\n");
    }
    bool interfaceFound = false;
    for (const UsbNode& node : nodes) {
        const std::string id = ToUpperAscii(node.instanceId);
        if (id.find(wanted) == std::string::npos || !Contains(id, "MI_"))
            continue;
        if (!Contains(node.compatibleIds, kAdbClassLower) && !Contains(node.compatibleIds, kAdbClassUpper))
            continue;
        // Each interface belongs to its own parent; without one, only a model's single device
        // can be its owner.
        std::string parent = ToUpperAscii(node.parentId);
        if (parent.empty()) {
            if (wholeDevices.size() != 1) {
                USB_LOG("cannot tell which device the interface %s belongs to\n", HashForm(id).c_str());
                continue;
            }
            parent = wholeDevices[0];
        }
        const InstanceIdParts owner = ParseInstanceId(parent, '\\');
        if (!serial.empty() && owner.serial != ToUpperAscii(serial))
            continue;
        PhoneSystemInfo info;
        info.m_isAdbOpen = true;
        info.m_description = node.description;
        USB_LOG("find a new phone is %s \n", HashForm(id).c_str());
        // An instance part with '&' was made up by Windows: the device reports no serial, and
        // that part stands in for one.
        if (owner.serial.find('&') != std::string::npos)
            USB_LOG("use back sn %s\n", HashForm(parent).c_str());
        info.m_parentInstanceId = HashForm(parent);
        out.push_back(std::move(info));
        interfaceFound = true;
    }
    return interfaceFound;
}

bool FindAdbInterfacesWithRetry(const std::string& target, PhoneInfos& out, int retries, const std::string& serial)
{
    bool found = FindAdbInterfaces(target, out, serial);
    // A search called off (its phone left) finds nothing.
    for (int made = 0; !found && made < retries && PauseMs(kRetryPauseMs); ++made)
        found = FindAdbInterfaces(target, out, serial);
    return found;
}

bool FindAdbInterfacesWithRetry(const std::string& target, PhoneInfos& out, int retries, PhoneSystemInfo& info,
                                const std::string& serial)
{
    const bool found = FindAdbInterfacesWithRetry(target, out, retries, serial);
    info.m_isAdbOpen = found;
    return found;
}

bool HasAdbDriverInterface(const std::string& vidPid, const std::string& serial)
{
    std::vector<std::string> instanceIds;
    if (!t_snapshot) {
        if (!ReadAdbDriverInterfaces(instanceIds))
            return false;
    } else {
        TreeSnapshot::Looks& looks = *t_snapshot->LooksOf();
        if (!looks.haveDrivers) {
            looks.driversRead = ReadAdbDriverInterfaces(looks.drivers);
            looks.haveDrivers = true;
        }
        if (!looks.driversRead)
            return false;
        instanceIds = looks.drivers;
    }
    std::vector<std::string> ofModel;
    for (const std::string& instanceId : instanceIds) {
        const std::string id = ToUpperAscii(instanceId);
        if (ParseInstanceId(id, '\\').key == vidPid)
            ofModel.push_back(id);
    }
    if (ofModel.empty() || serial.empty())
        return !ofModel.empty();

    // The driver interface of one device: the interface's parent is that device (with another
    // phone of the model plugged in, the model having a driver says nothing about this one).
    const std::string wanted = ToUpperAscii(serial);
    const std::vector<UsbNode> nodes = ListUsbNodes();
    std::vector<std::string> wholeDevices;
    for (const UsbNode& node : nodes) {
        const std::string id = ToUpperAscii(node.instanceId);
        if (!Contains(id, "MI_") && ParseInstanceId(id, '\\').key == vidPid)
            wholeDevices.push_back(id);
    }
    for (const std::string& id : ofModel) {
        std::string owner = Contains(id, "MI_") ? std::string() : id;
        for (const UsbNode& node : nodes)
            if (owner.empty() && ToUpperAscii(node.instanceId) == id)
                owner = ToUpperAscii(node.parentId);
        if (owner.empty() && wholeDevices.size() == 1)
            owner = wholeDevices[0];
        if (!owner.empty() && ParseInstanceId(owner, '\\').serial == wanted)
            return true;
    }
    return false;
}

bool NoPendingInstall(uint32_t timeoutMs)
{
    return GetPorts().deviceTree->WaitNoPendingInstallEvents(timeoutMs);
}

void WaitForWindowsDriverInstall(const std::string& key, const std::string& serial)
{
    if (HasAdbDriverInterface(key, serial) || NoPendingInstall(500))
        return;
    if (HasAdbDriverInterface(key, serial))
        return;
    USB_LOG("notify ui the window system install the driver.........\n");
    for (int pass = 0; pass < 5; ++pass) {
        if (NoPendingInstall(1000)) {
            USB_LOG("windows install the driver successfully\n");
            return;
        }
        USB_LOG("wait windows install the driver %d\n", pass);
        if (HasAdbDriverInterface(key, serial))
            return;
    }
}

}  // namespace USB
