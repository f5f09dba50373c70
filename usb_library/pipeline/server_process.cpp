// The processes behind port 5037: the TCP owner table, names, termination and the port probe.
// Free of the service object so the Win32 adapter tests can link it alone.
#include <cstdio>

#include "pipeline/adb_server.h"
#include "support/ports/ports.h"
#include "support/sys_utils.h"
#include "support/usb_log.h"

namespace USB {

namespace {

constexpr uint32_t kListenState = 2;
constexpr size_t kMaxProcessIds = 1000;
// The exit code given to a process this library ends: never 259, which reads as "still running".
constexpr uint32_t kEndedExitCode = 1;

ProcessPort& Process()
{
    return *GetPorts().process;
}

void TerminateProcessById(ProcessPort& port, uint32_t pid)
{
    ProcessPort::Handle process = OpenProcessWithDebugPrivilege(pid);
    if (!process)
        return;
    uint32_t exitCode = 0;
    uint32_t lastError = 0;
    port.QueryExitCode(process, exitCode, lastError);
    USB_LOG("dwExitCode is %d, %d\n", static_cast<int>(exitCode), static_cast<int>(lastError));
    port.Terminate(process, kEndedExitCode);
    port.Close(process);
}

}  // namespace

bool ProbeAdbPort()
{
    const ConnectResult result = Process().ConnectTest(kAdbHost, kAdbPort, kAdbProbeTimeoutMs);
    if (result == ConnectResult::NoSocket) {
        perror("socket");
        return false;
    }
    if (result == ConnectResult::Failed) {
        USB_LOG("connect 5037 failed\n");
        return false;
    }
    USB_LOG("connect 5037 success\n");
    return true;
}

uint32_t FindAdbServerPid()
{
    std::vector<TcpOwnerRow> rows;
    uint32_t error = 0;
    const TcpTableResult result = Process().ReadTcpOwnerTable(rows, error);
    if (result == TcpTableResult::AllocError) {
        DebugLine("malloc Error!");
        return 0;
    }
    if (result != TcpTableResult::Ok) {
        DebugLine("GetExtendedTcpTable Error: " + std::to_string(static_cast<int>(error)));
        return 0;
    }
    uint32_t owner = kNoListener;
    for (const TcpOwnerRow& row : rows)
        if (row.state == kListenState && row.localPort == kAdbPort)
            owner = row.ownerPid;  // the last listening row wins
    return owner;
}

std::string GetProcessName(uint32_t pid)
{
    ProcessPort& port = Process();
    for (uint32_t id : port.ListProcessIds(kMaxProcessIds)) {
        if (id != pid)
            continue;
        std::string baseName;
        std::string path;
        if (!port.QueryProcessImage(pid, baseName, path)) {
            // The snapshot names every process, even one whose image cannot be opened. Not the
            // idle process: id 0 is no owner (Wine gives it to every socket).
            if (pid == 0)
                return std::string();
            for (const ProcessEntry& entry : port.SnapshotProcesses())
                if (entry.pid == pid)
                    baseName = entry.exeName;
            if (baseName.empty())
                return std::string();
        }
        USB_LOG("szPName is %s, szPath is %s\n", baseName.c_str(), path.c_str());
        return baseName;
    }
    return std::string();
}

void KillProcessByName(const std::string& name)
{
    for (const ProcessEntry& entry : Process().SnapshotProcesses()) {
        if (entry.exeName == name) {
            TerminateProcessById(Process(), entry.pid);
            return;
        }
    }
}

void KillAdbServerProcess(uint32_t pid, const std::string& name)
{
    if (pid == 0 || pid == kNoListener) {
        // The owner is not known (a TCP table without owner ids): fall back to the name.
        KillProcessByName(name);
        return;
    }
    for (const ProcessEntry& entry : Process().SnapshotProcesses()) {
        if (entry.pid != pid)
            continue;
        if (entry.exeName == name)
            TerminateProcessById(Process(), pid);
        else
            USB_LOG("process %u is no longer %s, not killed\n", static_cast<unsigned>(pid), name.c_str());
        return;
    }
    USB_LOG("process %u has already ended\n", static_cast<unsigned>(pid));
}

ProcessPort::Handle OpenProcessWithDebugPrivilege(uint32_t pid)
{
    ProcessPort& port = Process();
    const PrivilegeOutcome outcome = port.EnableDebugPrivilege();
    if (!outcome.tokenOpened)
        DebugLine("OpenProcessToken error:" + std::to_string(static_cast<int>(outcome.tokenError)));
    if (!outcome.privilegeFound) {
        DebugLine("LookupPrivilegeValue error: " + std::to_string(outcome.lookupError) + "\n");
    } else if (!outcome.adjusted) {
        DebugLine("AdjustTokenPrivileges error: " + std::to_string(outcome.adjustError) + "\n");
    } else if (outcome.notAllAssigned) {
        DebugLine("The token does not have the specified privilege. \n");
    }
    return port.OpenProcessAllAccess(pid);
}

}  // namespace USB
