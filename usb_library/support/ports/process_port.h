// Process control: the TCP owner table, process names, termination, starting programs and the
// connect test of the ADB port. The adapter maps Windows calls only; every choice (which row
// wins, which process is ended, what is logged) is made by the core in adb_server.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace USB {

// One row of the IPv4 TCP table with owner ids.
struct TcpOwnerRow {
    uint32_t state = 0;      // MIB_TCP_STATE: 2 = LISTEN
    uint16_t localPort = 0;  // host byte order
    uint32_t ownerPid = 0;
};

enum class TcpTableResult {
    Ok,
    Unavailable,  // iphlpapi.dll or GetExtendedTcpTable missing
    SizeError,    // the size query failed (error holds its result)
    AllocError,   // no memory for the table
    ReadError,    // the second call failed (error holds its result)
};

// One entry of a process snapshot.
struct ProcessEntry {
    uint32_t pid = 0;
    std::string exeName;  // executable file name as the snapshot gives it, in the ANSI code page
};

// What enabling SeDebugPrivilege on the own token came to.
struct PrivilegeOutcome {
    bool tokenOpened = true;
    uint32_t tokenError = 0;
    bool privilegeFound = true;
    uint32_t lookupError = 0;
    bool adjusted = true;
    uint32_t adjustError = 0;
    bool notAllAssigned = false;  // ERROR_NOT_ALL_ASSIGNED (1300) after a successful adjust
};

enum class ConnectResult { Connected, Failed, NoSocket };

class ProcessPort {
public:
    typedef void* Handle;

    virtual ~ProcessPort() = default;

    virtual TcpTableResult ReadTcpOwnerTable(std::vector<TcpOwnerRow>& rows, uint32_t& error) = 0;
    // Ids of running processes, at most `limit`.
    virtual std::vector<uint32_t> ListProcessIds(size_t limit) = 0;
    // Base name and full path of the process's image in the ANSI code page, for a process of
    // either bitness; false without access.
    virtual bool QueryProcessImage(uint32_t pid, std::string& baseName, std::string& path) = 0;
    // Every running process with its executable name, in snapshot order.
    virtual std::vector<ProcessEntry> SnapshotProcesses() = 0;

    virtual PrivilegeOutcome EnableDebugPrivilege() = 0;
    // All-access handle, null on failure.
    virtual Handle OpenProcessAllAccess(uint32_t pid) = 0;
    // Exit code (259 while running) and the thread's last error after the query.
    virtual void QueryExitCode(Handle process, uint32_t& exitCode, uint32_t& lastError) = 0;
    virtual bool Terminate(Handle process, uint32_t exitCode) = 0;
    virtual void Close(Handle process) = 0;

    // Opens a file (UTF-8 path) with the "open" verb, no parameters, hidden window.
    virtual bool ShellOpenHidden(const std::string& file) = 0;
    // TCP connect test to host:port, bounded by timeoutMs; nothing is sent.
    virtual ConnectResult ConnectTest(const std::string& host, uint16_t port, uint32_t timeoutMs) = 0;
};

}  // namespace USB
