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

TEST(RealDll, ConfigBesideTheHostStartAndStop)
{
    const std::string dllPath = ExeDirectory() + "usbhelper.dll";
    const std::string configPath = ExeDirectory() + "config_ini.txt";
    ConfigKeeper keeper(configPath);

    // Without a configuration file the load says where it looked: the host's folder.
    {
        LogTail tail;
        HMODULE dll = LoadLibraryA(dllPath.c_str());
        ASSERT_NE(dll, nullptr) << "LoadLibrary failed: " << GetLastError();
        const std::string text = tail.Text();
        EXPECT_NE(text.find("]: cant open file " + configPath + "\r\n"), std::string::npos) << text;
        EXPECT_NE(text.find("]: no load ini file\r\n"), std::string::npos) << text;
        FreeLibrary(dll);  // nothing was started, so no thread runs in it
    }

    // With one, the file is read while the library loads (and only then).
    {
        std::ofstream(configPath, std::ios::binary) << "[version]\r\nbuild_version=9.9.9\r\n";
    }
    LogTail tail;
    HMODULE dll = LoadLibraryA(dllPath.c_str());
    std::remove(configPath.c_str());
    ASSERT_NE(dll, nullptr);
    auto start = reinterpret_cast<StartFn>(reinterpret_cast<void*>(GetProcAddress(dll, "IUSB_start")));
    auto stop = reinterpret_cast<StopFn>(reinterpret_cast<void*>(GetProcAddress(dll, "IUSB_stop")));
    ASSERT_NE(start, nullptr);
    ASSERT_NE(stop, nullptr);

    EXPECT_EQ(stop(), -1);
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

}  // namespace
