// Platform ports: the few questions only Windows can answer. The core talks to these
// interfaces; the shipped DLL plugs in Win32 adapters, tests plug in fakes.
#pragma once

#include "support/ports/clock_port.h"
#include "support/ports/library_port.h"
#include "support/ports/system_port.h"

namespace USB {

class DeviceTreePort;
class RegistryPort;
class HttpPort;
class ProcessPort;
class InstallServicePort;
class GuardPort;
class ListenerPort;

// Inert ports: every question answered "nothing" or "failed", waits return at once, nothing
// crashes. A bundle starts with them, so a port is never null; the product plugs in its
// adapters, tests their fakes.
SystemPort& InertSystem();
ClockPort& InertClock();
LibraryPort& InertLibrary();
DeviceTreePort& InertDeviceTree();
RegistryPort& InertRegistry();
HttpPort& InertHttp();
ProcessPort& InertProcess();
InstallServicePort& InertInstallService();
GuardPort& InertGuard();
// Makes no listener (null): no device-change notices.
ListenerPort* CreateNoListener();

struct Ports {
    SystemPort* system = &InertSystem();
    ClockPort* clock = &InertClock();
    LibraryPort* library = &InertLibrary();
    DeviceTreePort* deviceTree = &InertDeviceTree();
    RegistryPort* registry = &InertRegistry();
    HttpPort* http = &InertHttp();
    ProcessPort* process = &InertProcess();
    InstallServicePort* installService = &InertInstallService();
    GuardPort* guard = &InertGuard();
    ListenerPort* (*createListener)() = &CreateNoListener;  // the service owns what it makes
};

// The process-wide bundle, made on first use from MakeDefaultPorts(). Its ports are never
// null: to take one away, assign its inert one.
Ports& GetPorts();

// Libraries loaded by full path only, never through a search that includes the current folder:
// a system library from the system folder, a companion from the host program's own folder.
// Null when the library or the folder is not there.
void* LoadSystemLibrary(const char* name);
void* LoadHostLibrary(const char* name);
// Provided by the build: Win32 adapters for the shipped DLL, fakes for native tests.
Ports MakeDefaultPorts();

}  // namespace USB
