#include "pipeline/adb_loader.h"

#include <mutex>

#include "support/ports/ports.h"

namespace {

std::mutex g_adbMutex;
UsbAdb* g_adb = nullptr;

template <typename Fn>
void Take(USB::LibraryPort* library, void* module, const char* name, Fn& out)
{
    out = reinterpret_cast<Fn>(library->Symbol(module, name));
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
    Take(library, m_module, "IUSB_Init", IUSB_Init);
    Take(library, m_module, "IUSB_Exit", IUSB_Exit);
    Take(library, m_module, "IUSB_AdbServerStart", IUSB_AdbServerStart);
    Take(library, m_module, "IUSB_AdbServerExit", IUSB_AdbServerExit);
    Take(library, m_module, "IUSB_GetDevices", IUSB_GetDevices);
    Take(library, m_module, "IUSB_Forward", IUSB_Forward);
    Take(library, m_module, "IUSB_Install", IUSB_Install);
    Take(library, m_module, "IUSB_Uninstall", IUSB_Uninstall);
    Take(library, m_module, "IUSB_Shell", IUSB_Shell);
    Take(library, m_module, "IUSB_Vesion", IUSB_Vesion);
    Take(library, m_module, "IUSB_Pull", IUSB_Pull);
    Take(library, m_module, "IUSB_KillServer", IUSB_KillServer);
    Take(library, m_module, "AdbWaitDeviceListChange", AdbWaitDeviceListChange);
    Take(library, m_module, "AdbGetTrackedDevices", AdbGetTrackedDevices);
    Take(library, m_module, "AdbStopDeviceTracking", AdbStopDeviceTracking);
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
    std::lock_guard<std::mutex> guard(g_adbMutex);
    // Never deleted: unloading a library while the process ends is asking for trouble.
    if (!g_adb)
        g_adb = new UsbAdb();
    return *g_adb;
}
