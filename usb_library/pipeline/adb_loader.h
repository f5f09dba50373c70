// The ADB companion library ("AdbBridge.dll"), loaded by name, and its entry points.
#pragma once

#include "adb_bridge.h"

// Outside the USB namespace on purpose: it stands for the companion library, not for us.
class UsbAdb {
public:
    UsbAdb();
    virtual ~UsbAdb();  // frees the module
    UsbAdb(const UsbAdb&) = delete;
    UsbAdb& operator=(const UsbAdb&) = delete;

    void* m_module = nullptr;
    // Only IUSB_Init, IUSB_AdbServerStart and IUSB_GetDevices are called by this library; the
    // rest are held for hosts and kept null when absent.
    decltype(&::IUSB_Init) IUSB_Init = nullptr;
    decltype(&::IUSB_Exit) IUSB_Exit = nullptr;
    decltype(&::IUSB_AdbServerStart) IUSB_AdbServerStart = nullptr;
    decltype(&::IUSB_AdbServerExit) IUSB_AdbServerExit = nullptr;
    decltype(&::IUSB_GetDevices) IUSB_GetDevices = nullptr;
    decltype(&::IUSB_Forward) IUSB_Forward = nullptr;
    decltype(&::IUSB_Install) IUSB_Install = nullptr;
    decltype(&::IUSB_Uninstall) IUSB_Uninstall = nullptr;
    decltype(&::IUSB_Shell) IUSB_Shell = nullptr;
    decltype(&::IUSB_Vesion) IUSB_Vesion = nullptr;
    decltype(&::IUSB_Pull) IUSB_Pull = nullptr;
    decltype(&::IUSB_KillServer) IUSB_KillServer = nullptr;
    // The pushed device list of newer bridges; null with an older one, which keeps plain pauses.
    decltype(&::AdbWaitDeviceListChange) AdbWaitDeviceListChange = nullptr;
    decltype(&::AdbGetTrackedDevices) AdbGetTrackedDevices = nullptr;
    decltype(&::AdbStopDeviceTracking) AdbStopDeviceTracking = nullptr;
};

// The process-wide instance, loaded on first use; it lives until the process ends.
UsbAdb& TheAdb();
