// Process control through Win32: IP helper's TCP table (loaded at run time), PSAPI, the image
// name query, Toolhelp, token privileges, TerminateProcess, ShellExecuteW and a bounded Winsock
// connect.
#include "win32/process_adapter.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
#include <psapi.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <cstdlib>

#include "win32/wide_text.h"

namespace USB {

namespace {

typedef DWORD(WINAPI* GetExtendedTcpTableFn)(PVOID, PDWORD, BOOL, ULONG, TCP_TABLE_CLASS, ULONG);

class Win32ProcessPort : public ProcessPort {
public:
    TcpTableResult ReadTcpOwnerTable(std::vector<TcpOwnerRow>& rows, uint32_t& error) override
    {
        rows.clear();
        HMODULE iphlp = LoadLibraryW(L"iphlpapi.dll");
        if (!iphlp) {
            error = GetLastError();
            return TcpTableResult::Unavailable;
        }
        TcpTableResult result = Read(iphlp, rows, error);
        FreeLibrary(iphlp);
        return result;
    }

    std::vector<uint32_t> ListProcessIds(size_t limit) override
    {
        std::vector<DWORD> ids(limit);
        DWORD bytes = 0;
        std::vector<uint32_t> out;
        if (!EnumProcesses(ids.data(), static_cast<DWORD>(ids.size() * sizeof(DWORD)), &bytes))
            return out;
        for (DWORD i = 0; i < bytes / sizeof(DWORD); ++i)
            out.push_back(ids[i]);
        return out;
    }

    bool QueryProcessImage(uint32_t pid, std::string& baseName, std::string& path) override
    {
        // Module lists cannot be read across bitness (a 32-bit process under WOW64 looking at
        // a 64-bit one); the image name query and its limited access right can.
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
        if (!process)
            return false;
        std::wstring full(MAX_PATH, L'\0');
        DWORD size = static_cast<DWORD>(full.size());
        BOOL ok = QueryFullProcessImageNameW(process, 0, &full[0], &size);
        if (!ok && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
            full.assign(32768, L'\0');
            size = static_cast<DWORD>(full.size());
            ok = QueryFullProcessImageNameW(process, 0, &full[0], &size);
        }
        CloseHandle(process);
        if (!ok)
            return false;
        full.resize(size);
        const size_t slash = full.find_last_of(L"\\/");
        baseName = WideToAnsi(slash == std::wstring::npos ? full : full.substr(slash + 1));
        path = WideToAnsi(full);
        return true;
    }

    std::vector<ProcessEntry> SnapshotProcesses() override
    {
        std::vector<ProcessEntry> out;
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        if (snapshot == INVALID_HANDLE_VALUE)
            return out;
        PROCESSENTRY32W entry;
        entry.dwSize = sizeof(entry);
        for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
            ProcessEntry e;
            e.pid = entry.th32ProcessID;
            e.exeName = WideToAnsi(entry.szExeFile);
            out.push_back(e);
        }
        CloseHandle(snapshot);
        return out;
    }

    PrivilegeOutcome EnableDebugPrivilege() override
    {
        PrivilegeOutcome outcome;
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
            outcome.tokenOpened = false;
            outcome.tokenError = GetLastError();
            token = nullptr;
        }
        LUID luid;
        if (!LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &luid)) {
            outcome.privilegeFound = false;
            outcome.lookupError = GetLastError();
        } else {
            TOKEN_PRIVILEGES privileges;
            privileges.PrivilegeCount = 1;
            privileges.Privileges[0].Luid = luid;
            privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
            if (!AdjustTokenPrivileges(token, FALSE, &privileges, sizeof(privileges), nullptr, nullptr)) {
                outcome.adjusted = false;
                outcome.adjustError = GetLastError();
            } else if (GetLastError() == ERROR_NOT_ALL_ASSIGNED) {
                outcome.notAllAssigned = true;
            }
        }
        if (token)
            CloseHandle(token);
        return outcome;
    }

    Handle OpenProcessAllAccess(uint32_t pid) override { return OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid); }

    void QueryExitCode(Handle process, uint32_t& exitCode, uint32_t& lastError) override
    {
        DWORD code = 0;
        GetExitCodeProcess(static_cast<HANDLE>(process), &code);
        exitCode = code;
        lastError = GetLastError();
    }

    bool Terminate(Handle process, uint32_t exitCode) override
    {
        return TerminateProcess(static_cast<HANDLE>(process), exitCode) != FALSE;
    }

    void Close(Handle process) override
    {
        if (process)
            CloseHandle(static_cast<HANDLE>(process));
    }

    bool ShellOpenHidden(const std::string& file) override
    {
        HINSTANCE result = ShellExecuteW(nullptr, L"open", Utf8ToWide(file).c_str(), nullptr, nullptr, SW_HIDE);
        return reinterpret_cast<INT_PTR>(result) > 32;
    }

    ConnectResult ConnectTest(const std::string& host, uint16_t port, uint32_t timeoutMs) override
    {
        // Ref-counted, so this also works when the host has not started the service yet.
        WSADATA data;
        const bool started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
        ConnectResult result = Connect(host, port, timeoutMs);
        if (started)
            WSACleanup();
        return result;
    }

private:
    static TcpTableResult Read(HMODULE iphlp, std::vector<TcpOwnerRow>& rows, uint32_t& error)
    {
        auto getTable = reinterpret_cast<GetExtendedTcpTableFn>(
            reinterpret_cast<void*>(GetProcAddress(iphlp, "GetExtendedTcpTable")));
        if (!getTable) {
            error = GetLastError();
            return TcpTableResult::Unavailable;
        }
        DWORD size = 0;
        DWORD rc = getTable(nullptr, &size, TRUE, AF_INET, TCP_TABLE_OWNER_PID_ALL, 0);
        if (rc != NO_ERROR && rc != ERROR_INSUFFICIENT_BUFFER) {
            error = rc;
            return TcpTableResult::SizeError;
        }
        // The table may grow between the two calls: ask again while it does.
        for (int tries = 0; tries < 4; ++tries) {
            void* table = std::malloc(size ? size : sizeof(MIB_TCPTABLE_OWNER_PID));
            if (!table)
                return TcpTableResult::AllocError;
            rc = getTable(table, &size, TRUE, AF_INET, TCP_TABLE_OWNER_PID_ALL, 0);
            if (rc == NO_ERROR) {
                const MIB_TCPTABLE_OWNER_PID* t = static_cast<const MIB_TCPTABLE_OWNER_PID*>(table);
                for (DWORD i = 0; i < t->dwNumEntries; ++i) {
                    TcpOwnerRow row;
                    row.state = t->table[i].dwState;
                    row.localPort = ntohs(static_cast<u_short>(t->table[i].dwLocalPort));
                    row.ownerPid = t->table[i].dwOwningPid;
                    rows.push_back(row);
                }
                std::free(table);
                return TcpTableResult::Ok;
            }
            std::free(table);
            if (rc != ERROR_INSUFFICIENT_BUFFER)
                break;
        }
        error = rc;
        return TcpTableResult::ReadError;
    }

    static ConnectResult Connect(const std::string& host, uint16_t port, uint32_t timeoutMs)
    {
        SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (s == INVALID_SOCKET)
            return ConnectResult::NoSocket;
        u_long nonBlocking = 1;
        ioctlsocket(s, FIONBIO, &nonBlocking);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        inet_pton(AF_INET, host.c_str(), &addr.sin_addr);
        ConnectResult result = ConnectResult::Failed;
        if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
            result = ConnectResult::Connected;
        } else if (WSAGetLastError() == WSAEWOULDBLOCK) {
            fd_set writable;
            fd_set failed;
            FD_ZERO(&writable);
            FD_ZERO(&failed);
            FD_SET(s, &writable);
            FD_SET(s, &failed);
            timeval tv;
            tv.tv_sec = static_cast<long>(timeoutMs / 1000);
            tv.tv_usec = static_cast<long>((timeoutMs % 1000) * 1000);
            if (select(0, nullptr, &writable, &failed, &tv) > 0 && FD_ISSET(s, &writable)) {
                int soError = 0;
                int len = sizeof(soError);
                getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &len);
                if (soError == 0)
                    result = ConnectResult::Connected;
            }
        }
        closesocket(s);
        return result;
    }
};

}  // namespace

ProcessPort& Win32Process()
{
    static Win32ProcessPort port;
    return port;
}

}  // namespace USB
