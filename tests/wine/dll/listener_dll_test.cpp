// The device-change listener of the real usbhelper.dll under Wine: notifications and copied
// data sent to the "lolclass" window become action messages, seen in the order the event loop
// dispatches them (the dispatcher logs every message text it starts).
#include <windows.h>
#include <dbt.h>
#include <shlobj.h>

#include <gtest/gtest.h>
#include <json/json.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "usbhelper.h"
#include "wine/sim_devices.h"

namespace {

using StartFn = void(USB_CDECL*)(UsbUiCallback);

// Every message the host is given, for the tests that look at payloads.
CRITICAL_SECTION g_hostLock;
std::vector<std::pair<int32_t, std::string>> g_hostMessages;

void USB_CDECL RecordHost(int32_t id, const char* json)
{
    EnterCriticalSection(&g_hostLock);
    g_hostMessages.emplace_back(id, json ? json : "");
    LeaveCriticalSection(&g_hostLock);
}

// The first payload of this id that names the serial; "" when none came in time.
std::string WaitForHost(int32_t id, const std::string& serial, DWORD timeoutMs = 30000)
{
    for (const DWORD start = GetTickCount(); GetTickCount() - start < timeoutMs; Sleep(10)) {
        EnterCriticalSection(&g_hostLock);
        std::string found;
        for (const auto& m : g_hostMessages)
            if (found.empty() && m.first == id && m.second.find("\"device_sn\":\"" + serial + "\"") != std::string::npos)
                found = m.second;
        LeaveCriticalSection(&g_hostLock);
        if (!found.empty())
            return found;
    }
    return std::string();
}

std::wstring ExeDirectory()
{
    wchar_t path[MAX_PATH] = {0};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path);
    return dir.substr(0, dir.find_last_of(L"\\/") + 1);
}

std::string LogPath()
{
    char folder[1024] = {0};
    SHGetSpecialFolderPathA(nullptr, folder, CSIDL_APPDATA, FALSE);
    return std::string(folder) + "\\Ostrel\\usb\\usb_log.txt";
}

std::string ReadAll(const std::string& path)
{
    std::string text;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char buf[65536];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0)
            text.append(buf, n);
        std::fclose(f);
    }
    return text;
}

std::string Compact(const Json::Value& value)
{
    Json::FastWriter writer;
    std::string text = writer.write(value);
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

// The log from the moment of construction on, as the message texts of its lines.
class LogWatch {
public:
    LogWatch() : m_path(LogPath()), m_offset(ReadAll(m_path).size()) {}

    // Texts of the lines written since construction (the part after "]: ").
    std::vector<std::string> Messages() const
    {
        std::string all = ReadAll(m_path);
        std::string text = all.size() >= m_offset ? all.substr(m_offset) : all;  // rotated: all is new
        std::vector<std::string> out;
        size_t pos = 0;
        while (pos < text.size()) {
            size_t end = text.find('\n', pos);
            if (end == std::string::npos)
                break;  // a line still being written
            std::string line = text.substr(pos, end - pos);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            const size_t mark = line.find("]: ");
            if (mark != std::string::npos)
                out.push_back(line.substr(mark + 3));
            pos = end + 1;
        }
        return out;
    }

    size_t Count(const std::string& message) const
    {
        size_t n = 0;
        for (const std::string& m : Messages())
            n += m == message;
        return n;
    }

    bool WaitFor(const std::string& message, DWORD timeoutMs = 20000) const
    {
        const DWORD start = GetTickCount();
        while (GetTickCount() - start < timeoutMs) {
            if (Count(message) > 0)
                return true;
            Sleep(10);
        }
        return false;
    }

private:
    std::string m_path;
    size_t m_offset;
};

const std::string kTreeChange = "{\"action\":\"DEVNODES_CHANGED\"}";

class ListenerDll : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        InitializeCriticalSection(&g_hostLock);
        s_module = LoadLibraryW((ExeDirectory() + L"usbhelper.dll").c_str());
    }

    void SetUp() override
    {
        ASSERT_NE(s_module, nullptr);
        auto start = reinterpret_cast<StartFn>(reinterpret_cast<void*>(GetProcAddress(s_module, "IUSB_start")));
        ASSERT_NE(start, nullptr);
        start(&RecordHost);  // does nothing while the service runs; restarts it after another test's stop
        for (int i = 0; i < 500 && !window; ++i) {
            window = FindWindowW(L"lolclass", nullptr);
            if (!window)
                Sleep(10);
        }
        ASSERT_NE(window, nullptr) << "no lolclass window after IUSB_start";
        tag = std::to_string(GetTickCount()) + "-" + std::to_string(++s_run);
    }

    void SendText(const void* data, DWORD size)
    {
        COPYDATASTRUCT cds = {};
        cds.dwData = 7;
        cds.cbData = size;
        cds.lpData = const_cast<void*>(data);
        SendMessageW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&cds));
    }
    void SendText(const std::string& text) { SendText(text.data(), static_cast<DWORD>(text.size())); }

    void SendInterface(WPARAM event, const std::wstring& path)
    {
        std::vector<BYTE> buf(offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + (path.size() + 1) * sizeof(wchar_t));
        auto* dev = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(buf.data());
        dev->dbcc_size = static_cast<DWORD>(buf.size());
        dev->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        std::memcpy(dev->dbcc_name, path.c_str(), (path.size() + 1) * sizeof(wchar_t));
        SendMessageW(window, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(dev));
    }

    void SendVolume(WPARAM event)
    {
        DEV_BROADCAST_VOLUME volume = {};
        volume.dbcv_size = sizeof(volume);
        volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
        volume.dbcv_unitmask = 1 << 4;
        SendMessageW(window, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(&volume));
    }

    void SendTreeChange() { SendMessageW(window, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0); }

    // Everything posted before it has been dispatched once this text has.
    void Flush(const LogWatch& log)
    {
        const std::string marker = "marker-" + tag;
        SendText(marker);
        ASSERT_TRUE(log.WaitFor(marker)) << marker;
    }

    static HMODULE s_module;
    static int s_run;
    HWND window = nullptr;
    std::string tag;
};

HMODULE ListenerDll::s_module = nullptr;
int ListenerDll::s_run = 0;

std::string DeviceMessage(const char* action, const std::wstring& path)
{
    Json::Value m(Json::objectValue);
    m["action"] = action;
    m["device_info"] = std::string(path.begin(), path.end());
    return Compact(m);
}

TEST_F(ListenerDll, ArrivalAndRemovalBecomeDeviceMessagesWithThePath)
{
    const std::wstring serial(tag.begin(), tag.end());
    const std::wstring path = L"\\\\?\\USB#VID_1234&PID_5678#EVT" + serial + L"#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
    LogWatch log;
    SendTreeChange();
    Sleep(300);
    SendInterface(DBT_DEVICEARRIVAL, path);  // within the debounce window: it cancels the tree change
    SendInterface(DBT_DEVICEREMOVECOMPLETE, path);
    ASSERT_TRUE(log.WaitFor(DeviceMessage("DEVICE_ONLINE", path)));
    ASSERT_TRUE(log.WaitFor(DeviceMessage("DEVICE_OFFLINE", path)));
    // The removal went through the service's sink on its way.
    EXPECT_EQ(log.Count("stop all operation for the current device, EVT" + tag), 1u);
    Sleep(1800);
    Flush(log);
    EXPECT_EQ(log.Count(kTreeChange), 0u);
}

TEST_F(ListenerDll, ABurstOfTreeChangesYieldsOneMessageAfterTheLast)
{
    LogWatch log;
    for (int i = 0; i < 3; ++i) {
        if (i)
            Sleep(300);
        SendTreeChange();
    }
    const DWORD last = GetTickCount();
    EXPECT_EQ(log.Count(kTreeChange), 0u) << "fired inside the burst";
    ASSERT_TRUE(log.WaitFor(kTreeChange, 8000));
    const DWORD delay = GetTickCount() - last;
    std::printf("DEVNODES_CHANGED dispatched %lu ms after the last notification\n", static_cast<unsigned long>(delay));
    EXPECT_GE(delay, 1400u);
    Sleep(1700);  // a timer left armed would fire again by now
    Flush(log);
    EXPECT_EQ(log.Count(kTreeChange), 1u);
}

TEST_F(ListenerDll, AnyArrivalOrRemovalCancelsThePendingTreeChange)
{
    LogWatch log;
    SendTreeChange();
    Sleep(300);
    SendVolume(DBT_DEVICEARRIVAL);  // another header type: cancels and yields nothing
    SendTreeChange();
    Sleep(300);
    SendVolume(DBT_DEVICEREMOVECOMPLETE);
    SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEQUERYREMOVE, 0);  // other events: nothing
    Sleep(2000);
    Flush(log);
    for (const std::string& m : log.Messages()) {
        EXPECT_NE(m, kTreeChange);
        EXPECT_EQ(m.find("DEVICE_ONLINE"), std::string::npos) << m;
        EXPECT_EQ(m.find("DEVICE_OFFLINE"), std::string::npos) << m;
    }
}

TEST_F(ListenerDll, CopiedTextsArriveAsSentCutAtAZeroAndShortOnesDropped)
{
    LogWatch log;
    const std::string plain = "cd-" + tag + "-plain";
    const std::string cut = "cd-" + tag + "-cut";
    const std::string json = "{\"action\":\"CD_" + tag + "\",\"device_sn\":\"x\"}";
    SendText("", 0);
    SendText("Z", 1);
    SendText("Y\0", 2);
    SendText(plain);  // no terminating zero in the data
    const std::string withZero = cut + std::string(1, '\0') + "tail";
    SendText(withZero);
    SendText(json);
    SendText(nullptr, 5);  // a sender without data: ignored
    Flush(log);

    std::vector<std::string> seen;
    for (const std::string& m : log.Messages()) {
        if (m.find(tag) != std::string::npos && m.rfind("marker-", 0) != 0)
            seen.push_back(m);
        EXPECT_NE(m, "Z");
        EXPECT_NE(m, "Y");
    }
    EXPECT_EQ(seen, (std::vector<std::string>{plain, cut, json}));
}

TEST_F(ListenerDll, TextsPostedWhileTheSinkRunsArriveInOrder)
{
    LogWatch log;
    std::vector<std::string> sent;
    for (int i = 0; i < 40; ++i) {
        sent.push_back("seq-" + tag + "-" + std::to_string(i));
        SendText(sent.back());
    }
    Flush(log);
    std::vector<std::string> seen;
    for (const std::string& m : log.Messages())
        if (m.rfind("seq-" + tag + "-", 0) == 0)
            seen.push_back(m);
    EXPECT_EQ(seen, sent);
}

TEST_F(ListenerDll, DescriptionInTheSystemCodePageReachesTheHostIntact)
{
    const std::wstring description = L"Caf\u00e9 \u20ac X1 ok";  // CP1252: E9, 80
    char expected[64] = {0};
    WideCharToMultiByte(CP_ACP, 0, description.c_str(), -1, expected, sizeof(expected), nullptr, nullptr);
    const std::string serial = "CP" + std::to_string(GetTickCount());
    const std::wstring wserial(serial.begin(), serial.end());
    const std::wstring path = L"\\\\?\\USB#VID_04E8&PID_6860#" + wserial + L"#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
    sim::SetWhiteListValue("[{\"vid\":\"04E8\",\"pid\":\"6860\",\"description\":\"Listed\",\"isadbopen\":\"yes\"}]");
    ASSERT_TRUE(sim::PlugPhone(L"04E8", L"6860", wserial, true, description));
    ASSERT_TRUE(sim::AddAdbDriver(L"04E8", L"6860"));
    SendInterface(DBT_DEVICEARRIVAL, path);
    const std::string payload = WaitForHost(USB_WM_CHECKING_ADB_DRIVER, serial);
    SendInterface(DBT_DEVICEREMOVECOMPLETE, path);
    sim::Unplug(L"04E8", L"6860");
    sim::SetWhiteListValue("");
    EXPECT_NE(payload.find("\"device_desc\":\"" + std::string(expected) + "\",\"device_sn\""), std::string::npos)
        << payload;
    EXPECT_FALSE(WaitForHost(USB_WM_DEVICE_OFFLINE, serial).empty());
}

}  // namespace
