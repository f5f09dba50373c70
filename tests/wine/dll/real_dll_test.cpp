// A host process that loads the real usbhelper.dll from its own folder, as the product does: what
// Windows decides about it (loading, its window's messages, the system code page).
#include <windows.h>
#include <dbt.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "sim_device.h"
#include "wine/wine_files.h"
#include "usbhelper.h"

namespace {

template <typename Export>
Export Get(HMODULE dll, const char* name)
{
    return reinterpret_cast<Export>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
}

HMODULE Load()
{
    return LoadLibraryA((OwnFolder() + "usbhelper.dll").c_str());
}

void USB_CDECL IgnoreMessages(int32_t, const char*) {}

// Windows holds its loader lock while a library loads: no file, no folder, no shell call then.
// The first call reads config_ini.txt beside the host, once. Run in a process of its own: a
// started listener pins the library, so it could not be loaded afresh.
TEST(RealDll, LoadingDoesNothingTheFirstCallReadsTheConfigurationThenStartAndStop)
{
    const std::string config = OwnFolder() + "config_ini.txt";
    std::error_code ignored;
    std::filesystem::remove_all(DataFolder(), ignored);
    std::remove(config.c_str());

    HMODULE first = Load();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(GetFileAttributesA(DataFolder().c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(Get<decltype(&IUSB_stop)>(first, "IUSB_stop")(), -1);
    const std::string without = ReadAll(LogTail::Path());
    EXPECT_NE(without.find("]: cant open file " + config + "\r\n"), std::string::npos) << without;
    EXPECT_NE(without.find("]: no load ini file\r\n"), std::string::npos) << without;
    FreeLibrary(first);  // nothing was started, so no thread runs in it

    std::ofstream(config, std::ios::binary) << "[version]\r\nbuild_version=9.9.9\r\n";
    LogTail tail;
    HMODULE dll = Load();
    const auto stop = Get<decltype(&IUSB_stop)>(dll, "IUSB_stop");
    EXPECT_EQ(stop(), -1);
    std::remove(config.c_str());
    Get<decltype(&IUSB_start)>(dll, "IUSB_start")(&IgnoreMessages);
    EXPECT_EQ(stop(), 0);
    EXPECT_EQ(stop(), -1);
    const std::string text = tail.Text();
    EXPECT_EQ(text.find("no load ini file"), std::string::npos) << text;
    const std::string stamp = "\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2} \\[service\\.cpp,\\d+\\]: ";
    EXPECT_TRUE(std::regex_search(text, std::regex(stamp + "usbhelper start\\.{11}\\r\\n"))) << text;
    EXPECT_TRUE(std::regex_search(text, std::regex(stamp + "the usb service thread has exited\\r\\n"))) << text;
}

// Every message the host is given, as "ID JSON" lines.
CRITICAL_SECTION g_hostLock;
std::string g_host;

void USB_CDECL RecordHost(int32_t id, const char* json)
{
    EnterCriticalSection(&g_hostLock);
    g_host += std::to_string(id) + " " + (json ? json : "") + "\n";
    LeaveCriticalSection(&g_hostLock);
}

// Whether a host line holds both texts, waiting up to 30 s for it.
bool HostSaid(const std::string& first, const std::string& second)
{
    for (int i = 0; i < 3000; ++i, Sleep(10)) {
        EnterCriticalSection(&g_hostLock);
        std::istringstream in(g_host);
        LeaveCriticalSection(&g_hostLock);
        for (std::string line; std::getline(in, line);)
            if (line.find(first) != std::string::npos && line.find(second) != std::string::npos)
                return true;
    }
    return false;
}

const char kListed[] = "[{\"vid\":\"04E8\",\"pid\":\"6860\",\"description\":\"Listed\",\"isadbopen\":\"yes\"}]";

class DllWindow : public ::testing::Test {
protected:
    // The whitelist is read at the start, so the registry's list is written before any start.
    static void SetUpTestSuite()
    {
        InitializeCriticalSection(&g_hostLock);
        // A run cut short may have left its phone in the tree, which the start would then find.
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_04E8&PID_6860");
        RegSetKeyValueA(HKEY_CURRENT_USER, "SOFTWARE\\Parvello", "white-list", REG_SZ, kListed, sizeof(kListed));
    }
    static void TearDownTestSuite() { RegDeleteKeyValueA(HKEY_CURRENT_USER, "SOFTWARE\\Parvello", "white-list"); }
    void SetUp() override
    {
        Get<decltype(&IUSB_start)>(Load(), "IUSB_start")(&RecordHost);
        for (int i = 0; i < 500 && !(window = FindWindowW(L"lolclass", nullptr)); ++i)
            Sleep(10);
        ASSERT_NE(window, nullptr) << "no lolclass window after IUSB_start";
        device.vid = L"1234";
        device.pid = L"5678";
        device.serial = L"EVT" + std::to_wstring(GetTickCount());
        tag = std::string(device.serial.begin(), device.serial.end());
    }
    void Send(WPARAM event, const void* header = nullptr)
    {
        SendMessageW(window, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(header));
    }
    void SendText(const void* data, DWORD size)
    {
        COPYDATASTRUCT cds = {7, size, const_cast<void*>(data)};
        SendMessageW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&cds));
    }

    HWND window = nullptr;
    sim::Phone device;
    std::string tag;
};

// Device changes (the simulator notifies the window as Windows does) and copied data are started,
// in the order sent, as the dispatcher's action texts (it logs each); a tree change fires through
// the library's timer.
TEST_F(DllWindow, NotificationsAndCopiedDataBecomeActionsInOrder)
{
    const std::string plain = "cd-" + tag + "-plain", cut = "cd-" + tag + "-cut";
    const std::string withZero = cut + std::string(1, '\0') + "tail";
    const std::string tree = "{\"action\":\"DEVNODES_CHANGED\"}";
    const DEV_BROADCAST_VOLUME volume = {sizeof(volume), DBT_DEVTYP_VOLUME, 0, 1 << 4, 0};
    LogTail log;
    Send(DBT_DEVNODES_CHANGED);  // the arrival next cancels it
    sim::Plug(device);
    SendText("Z", 1);
    SendText(plain.data(), static_cast<DWORD>(plain.size()));  // no terminating zero in the data
    SendText(withZero.data(), static_cast<DWORD>(withZero.size()));
    SendText(nullptr, 5);
    Send(DBT_DEVICEARRIVAL, &volume);  // another header type: nothing
    Send(DBT_DEVICEQUERYREMOVE);
    sim::Unplug(device);
    Send(DBT_DEVNODES_CHANGED);
    std::vector<std::string> seen;
    for (int i = 0; i < 2000 && (seen.empty() || seen.back() != tree); ++i, Sleep(10)) {
        seen.clear();
        std::istringstream in(log.Text());  // whole lines only, as the texts after "]: "
        for (std::string line; std::getline(in, line) && in.good();) {
            const size_t mark = line.find("]: ");
            if (mark != std::string::npos)
                line = line.substr(mark + 3, line.size() - mark - 4);  // without its "\r"
            if (line.rfind("{\"action\":", 0) == 0 || line.rfind("cd-" + tag, 0) == 0 || line == "Z")
                seen.push_back(line);
        }
    }
    const std::string path = "\\\\\\\\?\\\\USB#VID_1234&PID_5678#" + tag + "#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
    EXPECT_EQ(seen,
              (std::vector<std::string>{"{\"action\":\"DEVICE_ONLINE\",\"device_info\":\"" + path + "\"}", plain, cut,
                                        "{\"action\":\"DEVICE_OFFLINE\",\"device_info\":\"" + path + "\"}", tree}));
}

// A description in the system code page (CP1252 here: E9, 80) reaches the host byte for byte.
TEST_F(DllWindow, DescriptionInTheSystemCodePageReachesTheHostIntact)
{
    device.vid = L"04E8";
    device.pid = L"6860";
    device.description = L"Caf\u00e9 \u20ac X1 ok";
    char expected[64] = {0};
    WideCharToMultiByte(CP_ACP, 0, device.description.c_str(), -1, expected, sizeof(expected), nullptr, nullptr);
    ASSERT_TRUE(sim::Plug(device));
    EXPECT_TRUE(HostSaid(std::to_string(USB_WM_CHECKING_ADB_DRIVER) + " {",
                         "\"device_desc\":\"" + std::string(expected) + "\",\"device_sn\":\"" + tag + "\"}"));
    sim::Unplug(device);
    EXPECT_TRUE(HostSaid(std::to_string(USB_WM_DEVICE_OFFLINE) + " {", tag));
}

}  // namespace
