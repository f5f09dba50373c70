// The host's driver-install service through its named event and page, and installers started
// hidden with ShellExecuteExA.
#include "pipeline/win32/install_service_adapter.h"

#include <windows.h>
#include <shellapi.h>

#include <vector>

namespace USB {

namespace {

class Win32InstallServiceImpl : public InstallServicePort {
public:
    Handle CreateReplyEvent(const std::wstring& name) override
    {
        return CreateEventW(nullptr, FALSE, TRUE, name.c_str());
    }

    Handle OpenServiceEvent(const std::wstring& name) override
    {
        return OpenEventW(EVENT_ALL_ACCESS, FALSE, name.c_str());
    }

    void SetEvent(Handle event) override { ::SetEvent(static_cast<HANDLE>(event)); }
    void ResetEvent(Handle event) override { ::ResetEvent(static_cast<HANDLE>(event)); }

    bool WaitEvent(Handle event, uint32_t timeoutMs) override
    {
        return event && WaitForSingleObject(static_cast<HANDLE>(event), timeoutMs) == WAIT_OBJECT_0;
    }

    Handle CreateMapping(const std::wstring& name, uint32_t size) override
    {
        HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, name.c_str());
        if (!mapping)
            mapping = OpenFileMappingW(FILE_MAP_READ, FALSE, name.c_str());
        return mapping;
    }

    void* MapView(Handle mapping, uint32_t size) override
    {
        return MapViewOfFile(static_cast<HANDLE>(mapping), FILE_MAP_ALL_ACCESS, 0, 0, size);
    }

    void UnmapView(void* view) override
    {
        if (view)
            UnmapViewOfFile(view);
    }

    void CloseHandle(Handle handle) override
    {
        if (handle)
            ::CloseHandle(static_cast<HANDLE>(handle));
    }

    std::wstring AnsiToWide(const std::string& text) override
    {
        if (text.empty())
            return std::wstring();
        const int n = MultiByteToWideChar(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0);
        if (n <= 0)
            return std::wstring();
        std::vector<wchar_t> out(static_cast<size_t>(n));
        MultiByteToWideChar(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), out.data(), n);
        return std::wstring(out.data(), out.size());
    }

    RunResult RunHidden(const std::string& program, const std::string& parameters, uint32_t timeoutMs) override
    {
        // CreateProcess rather than the shell: under Wine the shell's launch of a console
        // installer does not return, and the waits below need the process handle at once.
        std::string command = "\"" + program + "\"";
        if (!parameters.empty())
            command += " " + parameters;
        std::vector<char> line(command.begin(), command.end());
        line.push_back('\0');
        STARTUPINFOA startup;
        ZeroMemory(&startup, sizeof(startup));
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESHOWWINDOW;
        startup.wShowWindow = SW_HIDE;
        PROCESS_INFORMATION process;
        ZeroMemory(&process, sizeof(process));
        if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                            &startup, &process))
            return RunResult::NotStarted;
        ::CloseHandle(process.hThread);
        const DWORD waited = WaitForSingleObject(process.hProcess, timeoutMs);
        ::CloseHandle(process.hProcess);
        return waited == WAIT_OBJECT_0 ? RunResult::Ended : RunResult::TimedOut;
    }
};

}  // namespace

InstallServicePort& Win32InstallService()
{
    static Win32InstallServiceImpl port;
    return port;
}

}  // namespace USB
