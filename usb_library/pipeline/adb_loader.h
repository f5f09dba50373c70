// The ADB companion library ("AdbBridge.dll"), loaded by name, and its twelve entry points.
#pragma once

#include "usbhelper.h"

// Entry-point shapes (all cdecl). Only IUSB_Init, IUSB_AdbServerStart and IUSB_GetDevices are
// called by this library; the rest are held for hosts and kept null when absent.
typedef int(USB_CDECL* IUSB_InitFn)(void);
typedef int(USB_CDECL* IUSB_ExitFn)(void);
typedef int(USB_CDECL* IUSB_AdbServerStartFn)(void);
typedef int(USB_CDECL* IUSB_AdbServerExitFn)(void);
typedef int(USB_CDECL* IUSB_GetDevicesFn)(char* buffer, int size);
typedef int(USB_CDECL* IUSB_ForwardFn)(const char* serial, const char* local, const char* remote);
typedef int(USB_CDECL* IUSB_InstallFn)(const char* serial, const char* apkPath, char* out, int outSize);
typedef int(USB_CDECL* IUSB_UninstallFn)(const char* serial, const char* package, char* out, int outSize);
typedef int(USB_CDECL* IUSB_ShellFn)(const char* serial, const char* command, char* out, int outSize);
typedef int(USB_CDECL* IUSB_VesionFn)(void);
typedef int(USB_CDECL* IUSB_PullFn)(const char* serial, const char* remotePath, const char* localPath);
typedef int(USB_CDECL* IUSB_KillServerFn)(void);

// Outside the USB namespace on purpose: it stands for the companion library, not for us.
class UsbAdb {
public:
    UsbAdb();
    virtual ~UsbAdb();  // frees the module
    UsbAdb(const UsbAdb&) = delete;
    UsbAdb& operator=(const UsbAdb&) = delete;

    void* m_module = nullptr;
    IUSB_InitFn IUSB_Init = nullptr;
    IUSB_ExitFn IUSB_Exit = nullptr;
    IUSB_AdbServerStartFn IUSB_AdbServerStart = nullptr;
    IUSB_AdbServerExitFn IUSB_AdbServerExit = nullptr;
    IUSB_GetDevicesFn IUSB_GetDevices = nullptr;
    IUSB_ForwardFn IUSB_Forward = nullptr;
    IUSB_InstallFn IUSB_Install = nullptr;
    IUSB_UninstallFn IUSB_Uninstall = nullptr;
    IUSB_ShellFn IUSB_Shell = nullptr;
    IUSB_VesionFn IUSB_Vesion = nullptr;
    IUSB_PullFn IUSB_Pull = nullptr;
    IUSB_KillServerFn IUSB_KillServer = nullptr;
};

// The process-wide instance, loaded on first use; it lives until the process ends.
UsbAdb& TheAdb();
// Tests only: drops the instance so that the next use loads the (fake) library again.
void ResetAdbForTests();
