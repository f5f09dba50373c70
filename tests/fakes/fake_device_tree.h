// A scriptable device tree: present USB devices, ADB driver interfaces, pending installs.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "support/ports/device_tree_port.h"

namespace USB {
namespace Fake {

class DeviceTree : public DeviceTreePort {
public:
    // A whole device (composite parent or simple device) and its ADB interface, which names it
    // as its parent.
    void AddPhone(const std::wstring& vid, const std::wstring& pid, const std::wstring& serial,
                  const std::wstring& description = L"Android Phone", bool adbInterface = true);
    void AddDevice(const UsbNode& node);
    void AddAdbDriverInterface(const std::wstring& instanceId);
    void RemoveMatching(const std::wstring& text);  // devices whose own or parent id contains text
    void Clear();

    bool ListUsbDevices(std::vector<UsbNode>& out, uint32_t& error) override;
    bool ListAdbDriverInterfaces(std::vector<std::wstring>& instanceIds, uint32_t& error) override;
    bool WaitNoPendingInstallEvents(uint32_t timeoutMs) override;

    std::vector<UsbNode> nodes;
    std::vector<std::wstring> adbInterfaces;
    bool failOpen = false;       // the device set cannot be opened
    int pendingInstallWaits = 0; // how many waits still report "installing"
    int usbListings = 0;         // calls of ListUsbDevices
    std::recursive_mutex mutex;
};

}  // namespace Fake
}  // namespace USB
