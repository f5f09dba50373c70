// The host's driver-install service through its named event and page, and installers started
// hidden: CreateProcessW, or ShellExecuteExW with "runas" when the core asks for it.
#include "win32/install_service_adapter.h"

#include <windows.h>
#include <shellapi.h>

#include <vector>

#include "win32/wide_text.h"

namespace USB {

namespace {

class Win32InstallServiceImpl : public InstallServicePort {
public:
    Handle CreateReplyEvent(const std::string& name) override
    {
        return CreateEventW(nullptr, FALSE, TRUE, Utf8ToWide(name).c_str());
    }

    Handle OpenServiceEvent(const std::string& name) override
    {
        return OpenEventW(EVENT_ALL_ACCESS, FALSE, Utf8ToWide(name).c_str());
    }

    void SetEvent(Handle event) override { ::SetEvent(static_cast<HANDLE>(event)); }
    void ResetEvent(Handle event) override { ::ResetEvent(static_cast<HANDLE>(event)); }

    bool WaitEvent(Handle event, uint32_t timeoutMs) override
    {
        return event && WaitForSingleObject(static_cast<HANDLE>(event), timeoutMs) == WAIT_OBJECT_0;
    }

    Handle CreateMapping(const std::string& name, uint32_t size) override
    {
        const std::wstring wide = Utf8ToWide(name);
        HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, wide.c_str());
        if (!mapping)
            mapping = OpenFileMappingW(FILE_MAP_READ, FALSE, wide.c_str());
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

    std::u16string Utf16Of(const std::string& text) override
    {
        const std::wstring wide = Utf8ToWide(text);
        return std::u16string(wide.begin(), wide.end());
    }

    RunOutcome RunHidden(const std::string& program, const std::string& parameters, uint32_t timeoutMs) override
    {
        // CreateProcess rather than the shell: under Wine the shell's launch of a console
        // installer does not return, and the waits below need the process handle at once.
        std::wstring command = L"\"" + Utf8ToWide(program) + L"\"";
        if (!parameters.empty())
            command += L" " + Utf8ToWide(parameters);
        std::vector<wchar_t> line(command.begin(), command.end());
        line.push_back(L'\0');
        STARTUPINFOW startup;
        ZeroMemory(&startup, sizeof(startup));
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESHOWWINDOW;
        startup.wShowWindow = SW_HIDE;
        PROCESS_INFORMATION process;
        ZeroMemory(&process, sizeof(process));
        RunOutcome outcome;
        if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                            &process)) {
            outcome.error = GetLastError();
            return outcome;
        }
        ::CloseHandle(process.hThread);
        outcome.result = Wait(process.hProcess, timeoutMs);
        return outcome;
    }

    RunOutcome RunElevated(const std::string& program, const std::string& parameters, uint32_t timeoutMs) override
    {
        const std::wstring file = Utf8ToWide(program);
        const std::wstring arguments = Utf8ToWide(parameters);
        SHELLEXECUTEINFOW info;
        ZeroMemory(&info, sizeof(info));
        info.cbSize = sizeof(info);
        // No console of its own and no UI of the shell's: the installer runs hidden, as the
        // plain launch does; the process handle is what the bounded wait needs.
        info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI | SEE_MASK_NO_CONSOLE;
        info.lpVerb = L"runas";
        info.lpFile = file.c_str();
        info.lpParameters = arguments.empty() ? nullptr : arguments.c_str();
        info.nShow = SW_HIDE;
        RunOutcome outcome;
        if (!ShellExecuteExW(&info)) {
            outcome.error = GetLastError();
            return outcome;
        }
        // Started by a means that gives no process (not the case for programs): nothing to wait for.
        outcome.result = info.hProcess ? Wait(info.hProcess, timeoutMs) : RunResult::Ended;
        return outcome;
    }

private:
    static RunResult Wait(HANDLE process, uint32_t timeoutMs)
    {
        const DWORD waited = WaitForSingleObject(process, timeoutMs);
        ::CloseHandle(process);
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
