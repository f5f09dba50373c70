#include "adb_server_launch.h"

#include <windows.h>

#include <string>
#include <vector>

#include "adb_protocol.h"

namespace adb {

namespace {

std::string HostExecutableDir()
{
    char path[MAX_PATH + 1] = {0};
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return std::string();
    std::string s(path, n);
    std::size_t slash = s.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : s.substr(0, slash + 1);
}

bool IsFile(const std::string& path)
{
    DWORD attrs = GetFileAttributesA(path.c_str());
    return attrs != INVALID_FILE_ATTRIBUTES && !(attrs & FILE_ATTRIBUTE_DIRECTORY);
}

bool Launch(const std::string& exe)
{
    std::string command = "\"" + exe + "\" start-server";
    std::vector<char> line(command.begin(), command.end());
    line.push_back('\0');
    STARTUPINFOA si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION pi;
    ZeroMemory(&pi, sizeof pi);
    if (!CreateProcessA(exe.c_str(), line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si,
                        &pi))
        return false;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return true;
}

}  // namespace

bool LaunchAdbStartServer()
{
    char path_env[32768] = {0};
    const DWORD n = GetEnvironmentVariableA("PATH", path_env, sizeof path_env);
    const std::string path = n > 0 && n < sizeof path_env ? std::string(path_env, n) : std::string();
    for (const auto& exe : AdbProgramCandidates(HostExecutableDir(), path, &IsFile))
        if (Launch(exe))
            return true;
    return false;
}

}  // namespace adb
