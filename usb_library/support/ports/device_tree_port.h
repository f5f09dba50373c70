// What the scans need from the Windows device tree.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace USB {

// One present device of the "USB" enumerator, in enumeration order. Texts in the system's ANSI
// code page, as hosts read descriptions and device paths.
struct UsbNode {
    std::string instanceId;     // as Windows gives it
    std::string classGuid;      // SPDRP_CLASSGUID text, "" when unreadable
    std::string compatibleIds;  // SPDRP_COMPATIBLEIDS, the strings joined as read
    std::string hardwareId;     // first string of SPDRP_HARDWAREID
    std::string description;    // SPDRP_DEVICEDESC
    std::string parentId;       // instance id of the parent device, "" when Windows does not say
    bool noChild = false;       // CM_Get_Child answered CR_NO_SUCH_DEVNODE
};

class DeviceTreePort {
public:
    virtual ~DeviceTreePort() = default;
    // Present USB devices. False when the device set cannot be opened (error = Windows code).
    virtual bool ListUsbDevices(std::vector<UsbNode>& out, uint32_t& error) = 0;
    // Instance ids of the present ADB driver interfaces.
    virtual bool ListAdbDriverInterfaces(std::vector<std::string>& instanceIds, uint32_t& error) = 0;
    // Waits up to timeoutMs for pending device installs; true when nothing is pending.
    virtual bool WaitNoPendingInstallEvents(uint32_t timeoutMs) = 0;
};

}  // namespace USB
