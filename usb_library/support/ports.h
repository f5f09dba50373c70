// Platform ports: the few questions only Windows can answer. The core talks to these
// interfaces; the shipped DLL plugs in Win32 adapters, tests plug in fakes.
#pragma once

#include <cstdint>
#include <string>

namespace USB {

// Version facts as the OS reports them to the host process.
struct OsVersionFacts {
    bool ok = false;  // false: the version could not be read
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t platformId = 0;             // 1 = 9x family, 2 = NT family
    uint8_t productType = 0;             // 1 = workstation
    uint16_t processorArchitecture = 0;  // 9 = AMD64
    int serverR2 = 0;                    // the SM_SERVERR2 system metric
};

class SystemPort {
public:
    virtual ~SystemPort() = default;
    // Paths are UTF-8, as file_io.h takes them.
    virtual std::string ExecutablePath() = 0;  // full path of the host process image
    virtual std::string AppDataFolder() = 0;   // roaming application data; "" when unavailable
    virtual std::string TempFolder() = 0;      // system temporary folder, with its closing separator
    // The system's own library folder, with its closing separator; "" when unknown.
    virtual std::string SystemFolder() { return std::string(); }
    virtual OsVersionFacts OsVersion() = 0;
    static constexpr int kWow64 = 1, kNotWow64 = 0, kWow64Unknown = -1;  // the query does not exist
    virtual int Wow64State() = 0;
    virtual bool NetworkAlive() = 0;
    virtual bool SocketsStartup() = 0;
    virtual void SocketsCleanup() = 0;
    virtual std::wstring ErrorText(uint32_t code) = 0;
    virtual void DebugOutput(const std::wstring& text) = 0;
};

// Every fixed wait goes through here so tests can run them instantly and count them.
class ClockPort {
public:
    virtual ~ClockPort() = default;
    virtual void SleepMs(uint32_t ms) = 0;
    virtual uint64_t NowMs() = 0;
};

// Dynamic libraries (the log relay, the ADB companion, system libraries).
class LibraryPort {
public:
    virtual ~LibraryPort() = default;
    virtual void* Load(const char* name) = 0;  // a name or a full UTF-8 path; null when not loaded
    virtual void* Symbol(void* module, const char* name) = 0;
    virtual void Free(void* module) = 0;
};

class DeviceTreePort;
class RegistryPort;
class HttpPort;
class ProcessPort;
class InstallServicePort;
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
