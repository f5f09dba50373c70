#include "support/ports/ports.h"

#include <string>

#include "support/ports/device_tree_port.h"
#include "support/ports/guard_port.h"
#include "support/ports/http_port.h"
#include "support/ports/install_service_port.h"
#include "support/ports/listener_port.h"
#include "support/ports/process_port.h"
#include "support/ports/registry_port.h"
#include "support/sys_utils.h"

namespace USB {

namespace {

class NoSystem : public SystemPort {
public:
    std::string ExecutablePath() override { return std::string(); }
    std::string AppDataFolder() override { return std::string(); }
    std::string TempFolder() override { return std::string(); }
    OsVersionFacts OsVersion() override { return OsVersionFacts(); }
    Wow64 Wow64State() override { return Wow64::Unknown; }
    bool Is64BitProcess() override { return false; }
    bool NetworkAlive() override { return false; }
    bool SocketsStartup() override { return false; }
    void SocketsCleanup() override {}
    std::string ErrorText(uint32_t) override { return std::string(); }
    void DebugOutput(const std::string&) override {}
};

// Time stands still and waits return at once; a deadline on it never passes.
class NoClock : public ClockPort {
public:
    void SleepMs(uint32_t) override {}
    uint64_t NowMs() override { return 0; }
};

class NoLibrary : public LibraryPort {
public:
    void* Load(const char*) override { return nullptr; }
    void* Symbol(void*, const char*) override { return nullptr; }
    void Free(void*) override {}
};

// An empty tree with nothing pending.
class NoDeviceTree : public DeviceTreePort {
public:
    bool ListUsbDevices(std::vector<UsbNode>& out, uint32_t& error) override
    {
        out.clear();
        error = 0;
        return true;
    }
    bool ListAdbDriverInterfaces(std::vector<std::string>& instanceIds, uint32_t& error) override
    {
        instanceIds.clear();
        error = 0;
        return true;
    }
    bool WaitNoPendingInstallEvents(uint32_t) override { return true; }
};

class NoRegistry : public RegistryPort {
public:
    RegistryValue ReadWhiteListValue(std::string&) override { return RegistryValue::NoKey; }
};

class NoHttp : public HttpPort {
public:
    bool CrackUrl(const std::string&, std::string&, uint16_t&, std::string&) override { return false; }
    Handle Open(const std::string&) override { return nullptr; }
    Handle OpenW(const std::string&) override { return nullptr; }
    Handle Connect(Handle, const std::string&, uint16_t) override { return nullptr; }
    bool AttemptConnect() override { return false; }
    Handle OpenRequest(Handle, const std::string&, const std::string&, bool) override { return nullptr; }
    bool AddHeaders(Handle, const std::string&) override { return false; }
    void SetConnectTimeout(Handle, uint32_t) override {}
    void SetReceiveTimeout(Handle, uint32_t) override {}
    bool Send(Handle, const std::string&, const std::string&) override { return false; }
    bool Read(Handle, char*, uint32_t, uint32_t& got) override
    {
        got = 0;
        return false;
    }
    bool QueryRawHeaders(Handle, char*, uint32_t&) override { return false; }
    bool QueryContentLength(Handle, char*, uint32_t&) override { return false; }
    Handle OpenUrl(Handle, const std::string&) override { return nullptr; }
    void Close(Handle) override {}
};

class NoProcess : public ProcessPort {
public:
    TcpTableResult ReadTcpOwnerTable(std::vector<TcpOwnerRow>& rows, uint32_t& error) override
    {
        rows.clear();
        error = 0;
        return TcpTableResult::Unavailable;
    }
    std::vector<uint32_t> ListProcessIds(size_t) override { return {}; }
    bool QueryProcessImage(uint32_t, std::string&, std::string&) override { return false; }
    std::vector<ProcessEntry> SnapshotProcesses() override { return {}; }
    PrivilegeOutcome EnableDebugPrivilege() override
    {
        PrivilegeOutcome outcome;
        outcome.tokenOpened = false;
        return outcome;
    }
    Handle OpenProcessAllAccess(uint32_t) override { return nullptr; }
    void QueryExitCode(Handle, uint32_t& exitCode, uint32_t& lastError) override
    {
        exitCode = 0;
        lastError = 0;
    }
    bool Terminate(Handle, uint32_t) override { return false; }
    void Close(Handle) override {}
    bool ShellOpenHidden(const std::string&) override { return false; }
    ConnectResult ConnectTest(const std::string&, uint16_t, uint32_t) override { return ConnectResult::Failed; }
};

class NoInstallService : public InstallServicePort {
public:
    Handle CreateReplyEvent(const std::string&) override { return nullptr; }
    Handle OpenServiceEvent(const std::string&) override { return nullptr; }
    void SetEvent(Handle) override {}
    void ResetEvent(Handle) override {}
    bool WaitEvent(Handle, uint32_t) override { return false; }
    Handle CreateMapping(const std::string&, uint32_t) override { return nullptr; }
    void* MapView(Handle, uint32_t) override { return nullptr; }
    void UnmapView(void*) override {}
    void CloseHandle(Handle) override {}
    std::u16string Utf16Of(const std::string&) override { return std::u16string(); }
    RunOutcome RunHidden(const std::string&, const std::string&, uint32_t) override { return RunOutcome(); }
    RunOutcome RunElevated(const std::string&, const std::string&, uint32_t) override { return RunOutcome(); }
};

// Nothing can be held: a package is never run, a whitelist never swapped.
class NoGuard : public GuardPort {
public:
    Handle HoldFile(const std::string&) override { return nullptr; }
    bool ReadHeld(Handle, char*, uint32_t, uint32_t& got) override
    {
        got = 0;
        return false;
    }
    void ReleaseFile(Handle) override {}
    Handle AcquireLock(const std::string&, uint32_t) override { return nullptr; }
    void ReleaseLock(Handle) override {}
};

// Function-local statics: a bundle may be built while other files' statics are.
template <typename Port>
Port& The()
{
    static Port port;
    return port;
}

void* LoadFrom(const std::string& folder, const char* name)
{
    if (!name || folder.empty())
        return nullptr;
    return GetPorts().library->Load((folder + name).c_str());
}

}  // namespace

SystemPort& InertSystem()
{
    return The<NoSystem>();
}
ClockPort& InertClock()
{
    return The<NoClock>();
}
LibraryPort& InertLibrary()
{
    return The<NoLibrary>();
}
DeviceTreePort& InertDeviceTree()
{
    return The<NoDeviceTree>();
}
RegistryPort& InertRegistry()
{
    return The<NoRegistry>();
}
HttpPort& InertHttp()
{
    return The<NoHttp>();
}
ProcessPort& InertProcess()
{
    return The<NoProcess>();
}
InstallServicePort& InertInstallService()
{
    return The<NoInstallService>();
}

GuardPort& InertGuard()
{
    return The<NoGuard>();
}

ListenerPort* CreateNoListener()
{
    return nullptr;
}

Ports& GetPorts()
{
    // Function-local so that static objects of other files may use it while they are built.
    static Ports ports = MakeDefaultPorts();
    return ports;
}

void* LoadSystemLibrary(const char* name)
{
    return LoadFrom(GetPorts().system->SystemFolder(), name);
}

void* LoadHostLibrary(const char* name)
{
    const std::string folder = GetExeDirectory();
    // Without a known host path the folder is a bare separator: the root of the current drive.
    return LoadFrom(folder.size() > 1 ? folder : std::string(), name);
}

}  // namespace USB
