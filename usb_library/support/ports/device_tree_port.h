// What the scans need from the Windows device tree.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace USB {

// One present device of the "USB" enumerator, in enumeration order.
struct UsbNode {
    std::wstring instanceId;     // as Windows gives it
    std::wstring classGuid;      // SPDRP_CLASSGUID text, "" when unreadable
    std::wstring compatibleIds;  // SPDRP_COMPATIBLEIDS, the strings joined as read
    std::wstring hardwareId;     // first string of SPDRP_HARDWAREID
    std::wstring description;    // SPDRP_DEVICEDESC in the ANSI code page, a byte per unit (NarrowToWide)
    std::wstring parentId;       // instance id of the parent device, "" when Windows does not say
    bool noChild = false;        // CM_Get_Child answered CR_NO_SUCH_DEVNODE
};

class DeviceTreePort {
public:
    virtual ~DeviceTreePort() = default;
    // Present USB devices. False when the device set cannot be opened (error = Windows code).
    virtual bool ListUsbDevices(std::vector<UsbNode>& out, uint32_t& error) = 0;
    // Instance ids of the present ADB driver interfaces.
    virtual bool ListAdbDriverInterfaces(std::vector<std::wstring>& instanceIds, uint32_t& error) = 0;
    // Waits up to timeoutMs for pending device installs; true when nothing is pending.
    virtual bool WaitNoPendingInstallEvents(uint32_t timeoutMs) = 0;
};

}  // namespace USB
