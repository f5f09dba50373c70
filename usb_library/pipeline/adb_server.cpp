#include "pipeline/adb_server.h"

#include <cstdio>

#include "discovery/device_scan.h"
#include "pipeline/adb_loader.h"
#include "service/USB_Service.h"
#include "service/usb_log.h"
#include "support/json_utils.h"
#include "support/ports.h"
#include "support/sys_utils.h"

namespace USB {

namespace {

constexpr uint32_t kListenState = 2;
constexpr size_t kMaxProcessIds = 1000;
constexpr uint32_t kNotAllAssigned = 1300;

ProcessPort* Process()
{
    return GetPorts().process;
}

void Debug(const std::wstring& text)
{
    if (SystemPort* system = GetPorts().system)
        system->DebugOutput(text);
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
    port.Terminate(process, exitCode);
    port.Close(process);
}

std::string OwnerPayload(UsbDevice& device, const std::string& killName)
{
    Json::Value payload(Json::objectValue);
    payload["device_sn"] = device.m_pDeviceSn;
    payload["device_desc"] = device.m_description;
    payload["kill-name"] = killName;
    return WriteJson(payload);
}

}  // namespace

bool ProbeAdbPort()
{
    ProcessPort* port = Process();
    const ConnectResult result = port ? port->ConnectTest(kAdbHost, kAdbPort, kAdbProbeTimeoutMs)
                                      : ConnectResult::NoSocket;
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
    ProcessPort* port = Process();
    if (!port)
        return 0;
    std::vector<TcpOwnerRow> rows;
    uint32_t error = 0;
    const TcpTableResult result = port->ReadTcpOwnerTable(rows, error);
    if (result == TcpTableResult::AllocError) {
        Debug(L"malloc Error!");
        return 0;
    }
    if (result != TcpTableResult::Ok) {
        Debug(L"GetExtendedTcpTable Error: " + std::to_wstring(static_cast<int>(error)));
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
    ProcessPort* port = Process();
    if (!port)
        return std::string();
    for (uint32_t id : port->ListProcessIds(kMaxProcessIds)) {
        if (id != pid)
            continue;
        std::string baseName;
        std::string path;
        if (!port->QueryProcessImage(pid, baseName, path))
            return std::string();
        USB_LOG("szPName is %s, szPath is %s\n", baseName.c_str(), path.c_str());
        return baseName;
    }
    return std::string();
}

void KillProcessByName(const std::string& name)
{
    ProcessPort* port = Process();
    if (!port)
        return;
    const std::wstring wanted = NarrowToWide(name);
    for (const ProcessEntry& entry : port->SnapshotProcesses()) {
        if (entry.exeName == wanted) {
            TerminateProcessById(*port, entry.pid);
            return;
        }
    }
}

void KillAdbServerProcess(uint32_t pid, const std::string& name)
{
    ProcessPort* port = Process();
    if (!port)
        return;
    if (pid == 0 || pid == kNoListener) {
        // The owner is not known (a TCP table without owner ids): fall back to the name.
        KillProcessByName(name);
        return;
    }
    const std::wstring wanted = NarrowToWide(name);
    for (const ProcessEntry& entry : port->SnapshotProcesses()) {
        if (entry.pid != pid)
            continue;
        if (entry.exeName == wanted)
            TerminateProcessById(*port, pid);
        else
            USB_LOG("process %u is no longer %s, not killed\n", static_cast<unsigned>(pid), name.c_str());
        return;
    }
    USB_LOG("process %u has already ended\n", static_cast<unsigned>(pid));
}

ProcessPort::Handle OpenProcessWithDebugPrivilege(uint32_t pid)
{
    ProcessPort* port = Process();
    if (!port)
        return nullptr;
    const PrivilegeOutcome outcome = port->EnableDebugPrivilege();
    if (!outcome.tokenOpened)
        printf("OpenProcessToken error:%d", static_cast<int>(outcome.tokenError));
    if (!outcome.privilegeFound) {
        printf("LookupPrivilegeValue error: %u/n", static_cast<unsigned>(outcome.lookupError));
    } else if (!outcome.adjusted) {
        printf("AdjustTokenPrivileges error: %u/n", static_cast<unsigned>(outcome.adjustError));
    } else if (outcome.notAllAssigned) {
        printf("The token does not have the specified privilege. /n");
    }
    fflush(stdout);
    return port->OpenProcessAllAccess(pid);
}

int ReportAdbServerOwner(UsbService& service, UsbDevice& device)
{
    USB_LOG("this device still exist in the windows system\n");
    USB_LOG("but we can not find this device in the adbserver\n");
    const uint32_t pid = FindAdbServerPid();
    const std::string name = GetProcessName(pid);
    USB_LOG("current adbserver pid is %d\n", static_cast<int>(pid));
    USB_LOG("current adbserver name is %s\n", name.c_str());
    if (pid != 0 && name.empty()) {
        USB_LOG("notify ui restart os\n");
        service.SendToUi(USB_WM_RESTART_OS, OwnerPayload(device, "os"));
        return -1;
    }
    if (!service.m_bBorrowedAdbServer) {
        USB_LOG("notify ui restart %s\n", name.c_str());
        service.SendToUi(USB_WM_RESTART_ADBSERVER, OwnerPayload(device, name));
        return -1;
    }
    USB_LOG("notify ui kill this adbserver %s\n", name.c_str());
    if (name.find(kHelperName) != std::string::npos) {
        KillAdbServerProcess(pid, name);
        if (ProcessPort* port = Process())
            port->ShellOpenHidden(GetExeDirectory() + kHelperFile);
        return 0;
    }
    service.SendToUi(USB_WM_KILL_THIRDPARTY_ADBSERVER, OwnerPayload(device, name));
    return -1;
}

void UsbService::StartAdbServer()
{
    UsbAdb& adb = TheAdb();
    if (!adb.IUSB_Init) {
        USB_LOG("_IUSB_Init error............................\n");
        return;
    }
    adb.IUSB_Init();
    if (!adb.IUSB_AdbServerStart)
        return;
    const int result = adb.IUSB_AdbServerStart();
    if (result == -1) {
        USB_LOG("the adb server had been started.\n");
        if (ProbeAdbPort()) {
            m_bBorrowedAdbServer = true;
            USB_LOG("borrow the thirdy party adbserver\n");
        } else {
            m_bBorrowedAdbServer = false;
            USB_LOG("FATAL error............................\n");
        }
    } else if (result < -1) {
        // Our bridge reports a server it could not start with other negative values.
        m_bBorrowedAdbServer = false;
        USB_LOG("the adb server could not be started: %d\n", result);
    } else {
        USB_LOG("the adb server starts successfully\n");
        m_bBorrowedAdbServer = false;
    }
}

int UsbService::EnsureAdbServer()
{
    UsbAdb& adb = TheAdb();
    if (!adb.IUSB_AdbServerStart)
        return -1;
    const int result = adb.IUSB_AdbServerStart();
    if (result == -1) {
        USB_LOG("the adb server had been started.\n");
        USB_LOG("borrow the thirdy party adbserver\n");
    } else if (result < -1) {
        m_bBorrowedAdbServer = false;
        USB_LOG("the adb server could not be started: %d\n", result);
    } else {
        m_bBorrowedAdbServer = false;
        USB_LOG("use the self adbserver\n");
        USB_LOG("the adb server starts successfully\n");
    }
    return 0;
}

int UsbService::HandleAdbServerException(UsbDevice* device)
{
    if (!device)
        return 0;
    if (!HasAdbDriverInterface(device->m_vidPid)) {
        USB_LOG("phone is not exist\n");
        return 0;
    }
    return ReportAdbServerOwner(*this, *device);
}

void UsbService::KillAdbServerCommand(const std::string& serial)
{
    USB_LOG("KILL-ADBSERVER........\n");
    const uint32_t pid = FindAdbServerPid();
    const std::string name = GetProcessName(pid);
    USB_LOG("current adbserver pid is %d\n", static_cast<int>(pid));
    USB_LOG("current adbserver name is %s\n", name.c_str());
    if (!name.empty() && pid != kNoListener)
        KillAdbServerProcess(pid, name);
    RetryDevice(serial);
}

}  // namespace USB
