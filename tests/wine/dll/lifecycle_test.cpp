// A host process that loads the real usbhelper.dll from its own folder, as the product does.
#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "usbhelper.h"
#include "wine/sim_devices.h"

namespace {

using StartFn = void(USB_CDECL*)(UsbUiCallback);
using StopFn = int32_t(USB_CDECL*)(void);

std::string ExeDirectory()
{
    char path[1024] = {0};
    GetModuleFileNameA(nullptr, path, sizeof(path));
    std::string text(path);
    return text.substr(0, text.find_last_of('\\') + 1);
}

std::string LogPath()
{
    char appData[MAX_PATH] = {0};
    SHGetSpecialFolderPathA(nullptr, appData, CSIDL_APPDATA, FALSE);
    return std::string(appData) + "\\Ostrel\\usb\\usb_log.txt";
}

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// The log is shared with every other run in this prefix: look only at what was added.
class LogTail {
public:
    LogTail() : m_start(ReadAll(LogPath()).size()) {}
    std::string Text() const
    {
        const std::string all = ReadAll(LogPath());
        return all.size() >= m_start ? all.substr(m_start) : all;  // rotated meanwhile
    }

private:
    size_t m_start;
};

void USB_CDECL IgnoreMessages(int32_t, const char*) {}

// Other programs in this folder may keep a configuration of their own: put it back after.
class ConfigKeeper {
public:
    explicit ConfigKeeper(const std::string& path) : m_path(path)
    {
        m_had = GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
        if (m_had)
            m_saved = ReadAll(path);
        std::remove(path.c_str());
    }
    ~ConfigKeeper()
    {
        std::remove(m_path.c_str());
        if (m_had)
            std::ofstream(m_path, std::ios::binary) << m_saved;
    }

private:
    std::string m_path;
    bool m_had = false;
    std::string m_saved;
};

std::string DataFolder(const char* below)
{
    char appData[MAX_PATH] = {0};
    SHGetSpecialFolderPathA(nullptr, appData, CSIDL_APPDATA, FALSE);
    return std::string(appData) + "\\Ostrel" + below;
}

// The data directory and everything in it (files only; nothing else is kept there).
void RemoveDataDirectory()
{
    const std::string dir = DataFolder("\\usb");
    WIN32_FIND_DATAA found;
    HANDLE walk = FindFirstFileA((dir + "\\*").c_str(), &found);
    if (walk != INVALID_HANDLE_VALUE) {
        do {
            DeleteFileA((dir + "\\" + found.cFileName).c_str());
        } while (FindNextFileA(walk, &found));
        FindClose(walk);
    }
    RemoveDirectoryA(dir.c_str());
    RemoveDirectoryA(DataFolder("").c_str());
}

TEST(RealDll, LoadingDoesNothingTheFirstCallReadsTheConfigurationThenStartAndStop)
{
    const std::string dllPath = ExeDirectory() + "usbhelper.dll";
    const std::string configPath = ExeDirectory() + "config_ini.txt";
    ConfigKeeper keeper(configPath);

    // Windows holds its loader lock while the library loads: no file, no folder, no shell call.
    RemoveDataDirectory();
    ASSERT_EQ(GetFileAttributesA(DataFolder("").c_str()), INVALID_FILE_ATTRIBUTES);
    {
        HMODULE dll = LoadLibraryA(dllPath.c_str());
        ASSERT_NE(dll, nullptr) << "LoadLibrary failed: " << GetLastError();
        EXPECT_EQ(GetFileAttributesA(DataFolder("").c_str()), INVALID_FILE_ATTRIBUTES);
        // The first call builds the service: without a configuration file it says where it looked.
        auto stop = reinterpret_cast<StopFn>(reinterpret_cast<void*>(GetProcAddress(dll, "IUSB_stop")));
        ASSERT_NE(stop, nullptr);
        EXPECT_EQ(stop(), -1);
        const std::string text = ReadAll(LogPath());
        EXPECT_NE(text.find("]: cant open file " + configPath + "\r\n"), std::string::npos) << text;
        EXPECT_NE(text.find("]: no load ini file\r\n"), std::string::npos) << text;
        FreeLibrary(dll);  // nothing was started, so no thread runs in it
    }

    // With one, the file is read by the first call (and only then).
    {
        std::ofstream(configPath, std::ios::binary) << "[version]\r\nbuild_version=9.9.9\r\n";
    }
    LogTail tail;
    HMODULE dll = LoadLibraryA(dllPath.c_str());
    ASSERT_NE(dll, nullptr);
    auto start = reinterpret_cast<StartFn>(reinterpret_cast<void*>(GetProcAddress(dll, "IUSB_start")));
    auto stop = reinterpret_cast<StopFn>(reinterpret_cast<void*>(GetProcAddress(dll, "IUSB_stop")));
    ASSERT_NE(start, nullptr);
    ASSERT_NE(stop, nullptr);

    EXPECT_EQ(stop(), -1);
    std::remove(configPath.c_str());
    start(&IgnoreMessages);
    EXPECT_EQ(GetModuleHandleA("LogRelay.dll"), nullptr);
    EXPECT_EQ(stop(), 0);
    EXPECT_EQ(stop(), -1);

    const std::string text = tail.Text();
    EXPECT_EQ(text.find("cant open file"), std::string::npos) << text;
    EXPECT_EQ(text.find("no load ini file"), std::string::npos) << text;
    const std::regex startLine("(^|\\n)\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2} \\[USB_Service\\.cpp,\\d+\\]: "
                               "usbhelper start\\.{11}\\r\\n");
    EXPECT_TRUE(std::regex_search(text, startLine)) << text;
    const std::regex stopLine("\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2} \\[USB_Service\\.cpp,\\d+\\]: "
                              "the usb service thread has exited\\r\\n");
    EXPECT_TRUE(std::regex_search(text, stopLine)) << text;
    // The library stays loaded: its listener and helper threads live until the process ends.
}

// The host's callback calls back into the library while a host thread stops it, in a dispatch
// that then waits for the ADB server's listing: every stop returns, nothing deadlocks, and the
// library starts again and serves the next arrival.
using SendFn = void(USB_CDECL*)(const char*);
using IsPhoneFn = uint8_t(USB_CDECL*)(const char*);
using HasPhoneFn = uint8_t(USB_CDECL*)(void);

struct Exports {
    StartFn start = nullptr;
    StopFn stop = nullptr;
    SendFn send = nullptr;
    IsPhoneFn isPhone = nullptr;
    HasPhoneFn hasPhone = nullptr;
} g_dll;
HANDLE g_checking = nullptr;  // the chain reached its listing wait
HANDLE g_offline = nullptr;
const char kPhonePath[] = "\\\\?\\USB#VID_18D1&PID_4EE2#CALLBACK0001#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";

void USB_CDECL CallingBack(int32_t id, const char*)
{
    if (id == USB_WM_DEVICE_OFFLINE)
        SetEvent(g_offline);
    if (id != USB_WM_CHECKING_ADB_CONNECTING)
        return;
    SetEvent(g_checking);
    Sleep(100);  // the host thread is inside IUSB_stop by now
    g_dll.send("{\"action\":\"FROM_CALLBACK\"}");
    g_dll.isPhone(kPhonePath);
    g_dll.hasPhone();
}

std::string Action(const char* action)
{
    return std::string("{\"action\":\"") + action + "\",\"device_info\":\"" +
           "\\\\\\\\?\\\\USB#VID_18D1&PID_4EE2#CALLBACK0001#{a5dcbf10-6530-11d2-901f-00c04fb951ed}\"}";
}

TEST(DllLifecycle, StopWhileTheCallbackCallsBackInReturnsAndTheLibraryStartsAgain)
{
    HMODULE dll = LoadLibraryA((ExeDirectory() + "usbhelper.dll").c_str());
    ASSERT_NE(dll, nullptr);
    auto get = [dll](const char* name) { return reinterpret_cast<void*>(GetProcAddress(dll, name)); };
    g_dll.start = reinterpret_cast<StartFn>(get("IUSB_start"));
    g_dll.stop = reinterpret_cast<StopFn>(get("IUSB_stop"));
    g_dll.send = reinterpret_cast<SendFn>(get("IUSB_SendMessage"));
    g_dll.isPhone = reinterpret_cast<IsPhoneFn>(get("IUSB_isPhone"));
    g_dll.hasPhone = reinterpret_cast<HasPhoneFn>(get("IUSB_hasPhone"));
    g_checking = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    g_offline = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    sim::Unplug(L"18D1", L"4EE2");
    ASSERT_TRUE(sim::PlugPhone(L"18D1", L"4EE2", L"CALLBACK0001", true));
    ASSERT_TRUE(sim::AddAdbDriver(L"18D1", L"4EE2"));
    ASSERT_EQ(g_dll.isPhone(kPhonePath), 1);  // loads the whitelist before the first arrival
    g_dll.stop();  // another test of this process may have left it running with its own callback

    for (int cycle = 0; cycle < 5; ++cycle) {
        g_dll.start(&CallingBack);
        g_dll.send(Action("DEVICE_OFFLINE").c_str());  // the record an earlier cycle left
        g_dll.send(Action("DEVICE_ONLINE").c_str());
        // Well below the listing wait of an earlier cycle that went on instead of giving up.
        ASSERT_EQ(WaitForSingleObject(g_checking, 10000), WAIT_OBJECT_0) << "cycle " << cycle;
        const DWORD began = GetTickCount();
        EXPECT_EQ(g_dll.stop(), 0);
        EXPECT_LT(GetTickCount() - began, 5000u) << "cycle " << cycle;
    }
    // Leave no record behind for the other tests of this process.
    ResetEvent(g_offline);
    g_dll.start(&CallingBack);
    g_dll.send(Action("DEVICE_OFFLINE").c_str());
    EXPECT_EQ(WaitForSingleObject(g_offline, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(g_dll.stop(), 0);
    sim::Unplug(L"18D1", L"4EE2");
}

}  // namespace
