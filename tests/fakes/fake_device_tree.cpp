#include "fakes/fake_device_tree.h"

namespace USB {
namespace Fake {

void DeviceTree::AddPhone(const std::wstring& vid, const std::wstring& pid, const std::wstring& serial,
                          const std::wstring& description, bool adbInterface)
{
    std::lock_guard<std::recursive_mutex> g(mutex);
    const std::wstring hw = L"VID_" + vid + L"&PID_" + pid;
    UsbNode parent;
    parent.instanceId = L"USB\\" + hw + L"\\" + serial;
    parent.classGuid = L"{36FC9E60-C465-11CF-8056-444553540000}";
    parent.hardwareId = L"USB\\" + hw;
    parent.description = L"USB Composite Device";
    nodes.push_back(parent);
    if (adbInterface) {
        UsbNode adb;
        adb.instanceId = L"USB\\" + hw + L"&MI_01\\6&12345678&0&0001";
        adb.classGuid = L"{3F966BD9-FA04-4EC5-991C-D326973B5128}";
        adb.compatibleIds = L"USB\\Class_ff&SubClass_42&Prot_01USB\\Class_ff&SubClass_42USB\\Class_ff";
        adb.hardwareId = L"USB\\" + hw + L"&REV_0100&MI_01";
        adb.description = description;
        adb.parentId = parent.instanceId;
        nodes.push_back(adb);
    }
}

void DeviceTree::AddDevice(const UsbNode& node)
{
    std::lock_guard<std::recursive_mutex> g(mutex);
    nodes.push_back(node);
}

void DeviceTree::AddAdbDriverInterface(const std::wstring& instanceId)
{
    std::lock_guard<std::recursive_mutex> g(mutex);
    adbInterfaces.push_back(instanceId);
}

void DeviceTree::RemoveMatching(const std::wstring& text)
{
    std::lock_guard<std::recursive_mutex> g(mutex);
    for (auto it = nodes.begin(); it != nodes.end();)
        it = it->instanceId.find(text) != std::wstring::npos || it->parentId.find(text) != std::wstring::npos
                 ? nodes.erase(it)
                 : it + 1;
    for (auto it = adbInterfaces.begin(); it != adbInterfaces.end();)
        it = it->find(text) != std::wstring::npos ? adbInterfaces.erase(it) : it + 1;
}

void DeviceTree::Clear()
{
    std::lock_guard<std::recursive_mutex> g(mutex);
    nodes.clear();
    adbInterfaces.clear();
}

bool DeviceTree::ListUsbDevices(std::vector<UsbNode>& out, uint32_t& error)
{
    std::lock_guard<std::recursive_mutex> g(mutex);
    ++usbListings;
    if (failOpen) {
        error = 13;
        return false;
    }
    out = nodes;
    return true;
}

bool DeviceTree::ListAdbDriverInterfaces(std::vector<std::wstring>& instanceIds, uint32_t& error)
{
    std::lock_guard<std::recursive_mutex> g(mutex);
    if (failOpen) {
        error = 13;
        return false;
    }
    instanceIds = adbInterfaces;
    return true;
}

bool DeviceTree::WaitNoPendingInstallEvents(uint32_t)
{
    std::lock_guard<std::recursive_mutex> g(mutex);
    if (pendingInstallWaits > 0) {
        --pendingInstallWaits;
        return false;
    }
    return true;
}

}  // namespace Fake
}  // namespace USB
