// What every Wine test program asks of Windows: its own folder, the temporary folder, a file's
// bytes, the product's log and a program of its own to start.
#pragma once

#include <windows.h>
#include <shlobj.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

inline std::wstring SelfPath()
{
    wchar_t self[MAX_PATH] = {0};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    return self;
}

// This program's folder, with its trailing backslash.
inline std::string OwnFolder()
{
    return std::filesystem::path(SelfPath()).parent_path().string() + "\\";
}

inline std::wstring TempDir()
{
    wchar_t temp[MAX_PATH + 1] = {0};
    GetTempPathW(MAX_PATH + 1, temp);
    return temp;
}

inline std::string ReadAll(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The product's folder in the user's application data, or a path below it.
inline std::string DataFolder(const char* below = "")
{
    char appData[MAX_PATH] = {0};
    SHGetSpecialFolderPathA(nullptr, appData, CSIDL_APPDATA, FALSE);
    return std::string(appData) + "\\Ostrel" + below;
}

// The log is shared with every other run in this prefix: only what was added since construction
// counts.
class LogTail {
public:
    LogTail() : m_start(ReadAll(Path()).size()) {}
    static std::string Path() { return DataFolder("\\usb\\usb_log.txt"); }
    std::string Text() const
    {
        const std::string all = ReadAll(Path());
        return all.size() >= m_start ? all.substr(m_start) : all;  // rotated meanwhile: all is new
    }

private:
    size_t m_start;
};

// The started process (its thread handle closed), or null.
inline HANDLE StartProgram(const std::filesystem::path& program, const std::wstring& arguments = L"")
{
    std::wstring command = L"\"" + program.wstring() + L"\" " + arguments;
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(program.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return nullptr;
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

// Waits up to MS for the process to end and closes it: its exit code, or STILL_ACTIVE.
inline DWORD Finish(HANDLE process, DWORD ms)
{
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(process, ms) == WAIT_OBJECT_0)
        GetExitCodeProcess(process, &code);
    CloseHandle(process);
    return code;
}
