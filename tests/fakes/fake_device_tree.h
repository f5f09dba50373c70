// A scriptable device tree: present USB devices, ADB driver interfaces, pending installs.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "support/ports/device_tree_port.h"

namespace USB {
namespace Fake {

class DeviceTree : public DeviceTreePort {
public:
    // A whole device and, unless told otherwise, its ADB interface, which names it as its parent.
    // Phones of one model need interfaces of their own (`interfacePart`).
    void AddPhone(const std::string& vid, const std::string& pid, const std::string& serial,
                  const std::string& description = "Android Phone", bool adbInterface = true,
                  const std::string& interfacePart = "6&12345678&0&0001")
    {
        const std::string hw = "USB\\VID_" + vid + "&PID_" + pid;
        AddDevice(
            {hw + "\\" + serial, "{36FC9E60-C465-11CF-8056-444553540000}", "", hw, "USB Composite Device", "", false});
        if (adbInterface)
            AddDevice({hw + "&MI_01\\" + interfacePart, "{3F966BD9-FA04-4EC5-991C-D326973B5128}",
                       "USB\\Class_ff&SubClass_42&Prot_01USB\\Class_ff&SubClass_42USB\\Class_ff",
                       hw + "&REV_0100&MI_01", description, hw + "\\" + serial, false});
    }
    void AddDevice(const UsbNode& node)
    {
        Locked([&] { nodes.push_back(node); });
    }
    void AddAdbDriverInterface(const std::string& id)
    {
        Locked([&] { adbInterfaces.push_back(id); });
    }
    // Devices whose own or parent id contains text, and driver interfaces whose id does.
    void RemoveMatching(const std::string& text)
    {
        Locked([&] {
            for (auto it = nodes.begin(); it != nodes.end();)
                it = it->instanceId.find(text) != std::string::npos || it->parentId.find(text) != std::string::npos
                         ? nodes.erase(it)
                         : it + 1;
            for (auto it = adbInterfaces.begin(); it != adbInterfaces.end();)
                it = it->find(text) != std::string::npos ? adbInterfaces.erase(it) : it + 1;
        });
    }
    void Clear()
    {
        Locked([&] { nodes.clear(), adbInterfaces.clear(); });
    }

    bool ListUsbDevices(std::vector<UsbNode>& out, uint32_t& error) override
    {
        std::lock_guard<std::mutex> g(mutex);
        ++usbListings;
        if (!failOpen)
            out = nodes;
        error = failOpen ? 13 : 0;
        return !failOpen;
    }
    bool ListAdbDriverInterfaces(std::vector<std::string>& ids, uint32_t& error) override
    {
        if (onDriverLookup)
            onDriverLookup();
        std::lock_guard<std::mutex> g(mutex);
        if (!failOpen)
            ids = adbInterfaces;
        error = failOpen ? 13 : 0;
        return !failOpen;
    }
    bool WaitNoPendingInstallEvents(uint32_t) override
    {
        if (onPendingWait)
            onPendingWait();
        std::lock_guard<std::mutex> g(mutex);
        return pendingInstallWaits <= 0 || --pendingInstallWaits < 0;
    }

    std::vector<UsbNode> nodes;
    std::vector<std::string> adbInterfaces;
    bool failOpen = false;        // the device set cannot be opened
    int pendingInstallWaits = 0;  // how many waits still report "installing"
    int usbListings = 0;          // calls of ListUsbDevices
    // Run before a look for driver interfaces and before a wait on Windows' installs (on the
    // thread that asks; set them while no flow runs).
    std::function<void()> onDriverLookup, onPendingWait;
    std::mutex mutex;

private:
    template <typename Fn>
    void Locked(Fn fn)
    {
        std::lock_guard<std::mutex> g(mutex);
        fn();
    }
};

}  // namespace Fake
}  // namespace USB
