#include "adb_server_launch.h"

#include <windows.h>

#include <string>

#include "adb_protocol.h"
#include "win32/wide_text.h"

namespace adb {

namespace {

// The candidates are searched in UTF-8 and go back to Windows in UTF-16, so that a folder named
// outside the ANSI code page (a user profile "José 张伟") works as any other.
std::string HostExecutableDir()
{
    const std::wstring path = USB::ProgramPath();
    const std::size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::string() : USB::WideToUtf8(path.substr(0, slash + 1));
}

std::string PathVariable()
{
    const DWORD size = GetEnvironmentVariableW(L"PATH", nullptr, 0);
    if (size == 0)
        return std::string();
    std::wstring value(size, L'\0');
    const DWORD n = GetEnvironmentVariableW(L"PATH", &value[0], size);
    if (n == 0 || n >= size)
        return std::string();
    value.resize(n);
    return USB::WideToUtf8(value);
}

bool IsFile(const std::string& path)
{
    const DWORD attrs = GetFileAttributesW(USB::Utf8ToWide(path).c_str());
    return attrs != INVALID_FILE_ATTRIBUTES && !(attrs & FILE_ATTRIBUTE_DIRECTORY);
}

bool Launch(const std::string& exe)
{
    const std::wstring program = USB::Utf8ToWide(exe);
    std::wstring line = L"\"" + program + L"\" start-server";
    STARTUPINFOW si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION pi;
    ZeroMemory(&pi, sizeof pi);
    if (!CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si,
                        &pi))
        return false;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return true;
}

}  // namespace

bool LaunchAdbStartServer()
{
    for (const auto& exe : AdbProgramCandidates(HostExecutableDir(), PathVariable(), &IsFile))
        if (Launch(exe))
            return true;
    return false;
}

}  // namespace adb
