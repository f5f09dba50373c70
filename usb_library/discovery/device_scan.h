// Questions to the Windows device tree: instance ids, the present USB devices, ADB interfaces,
// child nodes, ADB driver interfaces and Windows' own driver installation.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "discovery/device_records.h"
#include "support/ports/device_tree_port.h"

namespace USB {

struct InstanceIdParts {
    std::string key;  // "VID_" + vid + "&PID_" + pid, or "" when the id has no '&'
    std::string vid;
    std::string pid;
    std::string serial;
};

// Splits "USB<sep>VID_xxxx&PID_yyyy[&MI_zz]<sep>serial[<sep>...]".
InstanceIdParts ParseInstanceId(const std::string& id, char separator);

// The present USB devices; a device set that cannot be opened counts as an empty tree (the
// reason goes to the log).
std::vector<UsbNode> ListUsbNodes();

// While one lives on a thread, the tree is read at most once between two Refresh calls on that
// thread: the event loop refreshes it every turn, so all the phones it serves in one turn share
// one look at the tree instead of one each.
class TreeSnapshot {
public:
    TreeSnapshot();
    ~TreeSnapshot();
    TreeSnapshot(const TreeSnapshot&) = delete;
    TreeSnapshot& operator=(const TreeSnapshot&) = delete;
    // The next question reads the tree afresh.
    void Refresh();
    // Refresh of this thread's snapshot, if it has one (the event loop's turn hook).
    static void RefreshCurrent();

    struct Looks;
    Looks* LooksOf() { return m_looks; }

private:
    TreeSnapshot* m_outer;
    Looks* m_looks;
};

// One present USB device that passed the common filters of the phone scans.
struct ScanCandidate {
    std::string id;         // upper case, as Windows separates it
    std::string hashForm;   // '\' replaced by '#'
    InstanceIdParts parts;  // split at '\'
};

// The filters shared by the phone scans: an upper-case id with a VID and a PID, not of the HID
// class.
bool TakeCandidate(const UsbNode& node, ScanCandidate& out);
// Whether an instance id names an interface of a device rather than the device.
bool IsInterfaceId(const std::string& id);
// The record of the device a node stands for: an interface answers for its parent device, or
// for its model when Windows does not name the parent.
DeviceRecord* RecordOfNode(UsbDeviceList& list, const UsbNode& node, const ScanCandidate& candidate);
// The device path the host gets for a phone: "\\?\" + its '#'-separated id.
std::string PhonePath(const std::string& hashForm);

// Whether a present USB device other than (vidPid, ownSerial) has this serial.
bool IsSerialOfAnotherDevice(const std::string& serial, const std::string& vidPid, const std::string& ownSerial);
// ADB interfaces of the devices whose id contains target, each with its own parent device; with
// a serial, only those of the device with that serial.
bool FindAdbInterfaces(const std::string& target, PhoneInfos& out, const std::string& serial = std::string());
bool FindAdbInterfacesWithRetry(const std::string& target, PhoneInfos& out, int retries,
                                const std::string& serial = std::string());
bool FindAdbInterfacesWithRetry(const std::string& target, PhoneInfos& out, int retries, PhoneSystemInfo& info,
                                const std::string& serial = std::string());
// Whether an ADB driver interface of the model is present; with a serial, one of that device.
bool HasAdbDriverInterface(const std::string& vidPid, const std::string& serial = std::string());

// True when no device install is pending within timeoutMs (also when the tree cannot be asked).
bool NoPendingInstall(uint32_t timeoutMs);
// Waits for Windows' own driver installation before a new phone's interfaces are probed.
void WaitForWindowsDriverInstall(const std::string& vidPid, const std::string& serial = std::string());

}  // namespace USB
