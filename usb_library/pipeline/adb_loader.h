// The ADB companion library ("AdbBridge.dll"), loaded by name, and the entry points of it that
// are called: the pipeline's, and usbmon's doctor's (IUSB_Vesion, IUSB_Exit). The bridge's other
// exports are for hosts and never looked up.
#pragma once

#include "adb_bridge.h"

// Each one of ADB_BRIDGE_EXPORTS (the loader checks it when compiled).
#define USB_ADB_CALLS(X)       \
    X(IUSB_Init)               \
    X(IUSB_Exit)               \
    X(IUSB_AdbServerStart)     \
    X(IUSB_GetDevices)         \
    X(IUSB_Vesion)             \
    X(AdbWaitDeviceListChange) \
    X(AdbGetTrackedDevices)    \
    X(AdbStopDeviceTracking)

// Outside the USB namespace on purpose: it stands for the companion library, not for us.
class UsbAdb {
public:
    UsbAdb();
    ~UsbAdb();  // frees the module
    UsbAdb(const UsbAdb&) = delete;
    UsbAdb& operator=(const UsbAdb&) = delete;

    void* m_module = nullptr;
    // Null when the module lacks one: an older bridge has no tracking (its callers keep plain pauses).
#define USB_ADB_POINTER(name) decltype(&::name) name = nullptr;
    USB_ADB_CALLS(USB_ADB_POINTER)
#undef USB_ADB_POINTER
};

// The process-wide instance, loaded on first use; it lives until the process ends.
UsbAdb& TheAdb();
