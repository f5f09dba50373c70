#include "pipeline/adb_loader.h"

#include "support/ports/ports.h"
#include "support/usb_lock.h"

namespace {

USB::Mutex g_adbMutex;
UsbAdb* g_adb GUARDED_BY(g_adbMutex) = nullptr;

// The bridge's exports by their place in its list: a call of a name it does not export fails
// the build.
enum class BridgeExport {
#define USB_BRIDGE_EXPORT(name) name,
    ADB_BRIDGE_EXPORTS(USB_BRIDGE_EXPORT)
#undef USB_BRIDGE_EXPORT
};

constexpr const char* kBridgeExportNames[] = {
#define USB_BRIDGE_EXPORT_NAME(name) #name,
    ADB_BRIDGE_EXPORTS(USB_BRIDGE_EXPORT_NAME)
#undef USB_BRIDGE_EXPORT_NAME
};

template <typename Fn>
void Take(USB::LibraryPort* library, void* module, BridgeExport entry, Fn& out)
{
    out = reinterpret_cast<Fn>(library->Symbol(module, kBridgeExportNames[static_cast<int>(entry)]));
}

}  // namespace

UsbAdb::UsbAdb()
{
    USB::LibraryPort* library = USB::GetPorts().library;
    // Beside the host first: a copy planted in the current folder must not win over ours.
    m_module = USB::LoadHostLibrary("AdbBridge.dll");
    if (!m_module)
        m_module = library->Load("AdbBridge.dll");
    if (!m_module)
        return;
#define USB_ADB_TAKE(name) Take(library, m_module, BridgeExport::name, name);
    USB_ADB_CALLS(USB_ADB_TAKE)
#undef USB_ADB_TAKE
}

UsbAdb::~UsbAdb()
{
    if (m_module) {
        // Its tracking thread keeps the library loaded until it ends.
        if (AdbStopDeviceTracking)
            AdbStopDeviceTracking();
        USB::GetPorts().library->Free(m_module);
        m_module = nullptr;
    }
}

UsbAdb& TheAdb()
{
    USB::LockGuard guard(g_adbMutex);
    // Never deleted: unloading a library while the process ends is asking for trouble.
    if (!g_adb)
        g_adb = new UsbAdb();
    return *g_adb;
}
