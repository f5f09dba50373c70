// usbmon: a console host for diagnostics. Loads usbhelper.dll, starts it, prints every
// callback as "time id NAME json" (and under a message that ends a phone's flow, what to tell
// the user) and reads commands from stdin. "usbmon doctor [--json]" prints the support report
// instead (doctor.h).
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "doctor.h"
#include "sim_device.h"
#include "usbhelper.h"
#include "user_lines.h"

namespace {

struct Api {
    decltype(&IUSB_start) start = nullptr;
    decltype(&IUSB_stop) stop = nullptr;
    decltype(&IUSB_startAdbServer) startAdbServer = nullptr;
    decltype(&IUSB_isPhone) isPhone = nullptr;
    decltype(&IUSB_hasPhone) hasPhone = nullptr;
    decltype(&IUSB_getPhoneList) getPhoneList = nullptr;
    decltype(&IUSB_SendMessage) sendMessage = nullptr;
} api;

// usbmon names every message after its constant without "USB_", so 11064, which the library
// logs without a name, is WM_RESTART_OS here.
struct Message {
    int id;
    const char* name;
};
#define USBMON_MESSAGE(constant, id, name, meaning) {id, #constant + sizeof("USB_") - 1},
const Message kMessages[] = {USB_UI_MESSAGES(USBMON_MESSAGE)};
#undef USBMON_MESSAGE

const char* Name(int id)
{
    for (const Message& m : kMessages)
        if (m.id == id)
            return m.name;
    return "UNKNOWN";
}

CRITICAL_SECTION g_print;
CONDITION_VARIABLE g_arrived;
std::map<int, int> g_unconsumed;  // message id -> arrivals not yet waited for
bool g_failed = false;
std::atomic<int> g_stopOn{-1};  // a message id the host answers with IUSB_stop from its callback

void USB_CDECL OnMessage(int32_t id, const char* json)
{
    EnterCriticalSection(&g_print);
    SYSTEMTIME t;
    GetLocalTime(&t);
    std::string text = json ? json : "";
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    std::printf("%02d:%02d:%02d.%03d %d %s %s\n", t.wHour, t.wMinute, t.wSecond, t.wMilliseconds, id, Name(id),
                text.c_str());
    const std::string user = usbmon::UserLine(id);
    if (!user.empty())
        std::printf("  %s\n", user.c_str());
    std::fflush(stdout);
    ++g_unconsumed[id];
    LeaveCriticalSection(&g_print);
    WakeAllConditionVariable(&g_arrived);
    // As a host may: stop the library from inside its callback.
    int armed = id;
    if (api.stop && g_stopOn.compare_exchange_strong(armed, -1)) {
        const int result = api.stop();
        EnterCriticalSection(&g_print);
        std::printf("stop: %d (in the callback)\n", result);
        std::fflush(stdout);
        LeaveCriticalSection(&g_print);
    }
}

int IdOf(const std::string& name)
{
    for (const Message& m : kMessages)
        if (name == m.name || name == std::to_string(m.id))
            return m.id;
    return -1;
}

// Waits for the next arrival of a message not waited for yet; false on time-out.
bool WaitFor(int id, DWORD timeoutMs)
{
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    EnterCriticalSection(&g_print);
    while (g_unconsumed[id] == 0) {
        const ULONGLONG now = GetTickCount64();
        if (now >= end || !SleepConditionVariableCS(&g_arrived, &g_print, static_cast<DWORD>(end - now))) {
            if (g_unconsumed[id] == 0) {
                LeaveCriticalSection(&g_print);
                return false;
            }
        }
    }
    --g_unconsumed[id];
    LeaveCriticalSection(&g_print);
    return true;
}

void Say(const char* format, const char* arg = "")
{
    EnterCriticalSection(&g_print);
    std::printf(format, arg);
    std::fflush(stdout);
    LeaveCriticalSection(&g_print);
}

bool Load(const char* path)
{
    HMODULE dll = LoadLibraryA(path);
    if (!dll)
        return false;
    auto get = [dll](const char* name) { return reinterpret_cast<void*>(GetProcAddress(dll, name)); };
    api.start = reinterpret_cast<decltype(api.start)>(get("IUSB_start"));
    api.stop = reinterpret_cast<decltype(api.stop)>(get("IUSB_stop"));
    api.startAdbServer = reinterpret_cast<decltype(api.startAdbServer)>(get("IUSB_startAdbServer"));
    api.isPhone = reinterpret_cast<decltype(api.isPhone)>(get("IUSB_isPhone"));
    api.hasPhone = reinterpret_cast<decltype(api.hasPhone)>(get("IUSB_hasPhone"));
    api.getPhoneList = reinterpret_cast<decltype(api.getPhoneList)>(get("IUSB_getPhoneList"));
    api.sendMessage = reinterpret_cast<decltype(api.sendMessage)>(get("IUSB_SendMessage"));
    return api.start && api.stop && api.startAdbServer && api.isPhone && api.hasPhone && api.getPhoneList &&
           api.sendMessage;
}

std::string JsonText(const std::string& s)
{
    std::string out;
    for (char c : s) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out;
}

void PrintPhoneList()
{
    uint32_t length = 0;
    if (!api.getPhoneList(nullptr, &length)) {
        Say("list: no phone\n");
        return;
    }
    std::string buffer(length + 1, '\0');
    uint32_t size = length + 1;
    api.getPhoneList(&buffer[0], &size);
    Say("list: %s", buffer.c_str());
}

// One command line; false to leave.
bool Command(const std::string& line)
{
    char verb[32] = {0}, a[512] = {0}, b[64] = {0};
    std::sscanf(line.c_str(), "%31s %511s %63s", verb, a, b);
    const std::string v = verb;
    const bool withoutLibrary =
        v == "plug" || v == "unplug" || v == "driver" || v == "echo" || v == "sleep" || v == "doctor";
    if (!api.start && !withoutLibrary && !v.empty()) {
        Say("%s: the library is not loaded\n", verb);
        return true;
    }
    if (v == "quit" || v == "exit") {
        return false;
    } else if (v == "stop-on") {
        g_stopOn = IdOf(a);
    } else if (v == "stop") {
        Say("stop: %s\n", std::to_string(api.stop()).c_str());
    } else if (v == "retry") {
        api.sendMessage(("{\"action\":\"USB_RETRY\",\"command\":" + std::string(*b ? b : "0") + ",\"device_sn\":\"" +
                         JsonText(a) + "\"}")
                            .c_str());
    } else if (v == "kill-adb") {
        api.sendMessage(("{\"action\":\"KILL-ADBSERVER\",\"device_sn\":\"" + JsonText(a) + "\"}").c_str());
    } else if (v == "send") {
        api.sendMessage(line.substr(line.find("send") + 5).c_str());
    } else if (v == "isphone") {
        Say("isphone: %s\n", api.isPhone(a) ? "yes" : "no");
    } else if (v == "hasphone") {
        Say("hasphone: %s\n", api.hasPhone() ? "yes" : "no");
    } else if (v == "list") {
        PrintPhoneList();
    } else if (v == "adb") {
        api.startAdbServer();
        Say("adb: started\n");
    } else if (v == "plug" || v == "unplug" || v == "driver") {
        const sim::Phone phone = sim::Parse(line.substr(v.size()));
        const bool ok = v == "plug" ? sim::Plug(phone) : v == "unplug" ? sim::Unplug(phone) : sim::AddDriver(phone);
        Say((v + ": %s\n").c_str(), ok ? "ok" : "failed");
    } else if (v == "wait") {
        const int id = IdOf(a);
        const DWORD ms = *b ? static_cast<DWORD>(std::atoi(b)) : 30000;
        if (id < 0 || !WaitFor(id, ms)) {
            Say("wait: %s timed out\n", a);
            g_failed = true;
            return false;
        }
    } else if (v == "doctor") {
        std::string report;
        doctor::Report(std::strcmp(a, "--json") == 0, report);
        Say("%s", report.c_str());
    } else if (v == "echo") {
        Say("%s\n", line.size() > 5 ? line.substr(5).c_str() : "");
    } else if (v == "sleep") {
        Sleep(static_cast<DWORD>(std::atoi(a)));
    } else if (!v.empty()) {
        Say("commands: retry SN CMD | kill-adb SN | send JSON | isphone PATH | hasphone | list | adb | "
            "sleep MS | plug VID PID SN [noadb] [nodriver] [keyboard|mouse] | unplug VID PID SN | "
            "driver VID PID SN | wait NAME [MS] | echo TEXT | doctor [--json] | stop | stop-on NAME | quit\n");
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    InitializeCriticalSection(&g_print);
    InitializeConditionVariable(&g_arrived);
    const char* dll = "usbhelper.dll";
    int runMs = -1;
    std::vector<std::string> before;  // commands run before the service starts
    bool doctor = false, json = false;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "doctor"))
            doctor = true;
        else if (!std::strcmp(argv[i], "--json"))
            json = true;
        else if (!std::strcmp(argv[i], "--dll") && i + 1 < argc)
            dll = argv[++i];
        else if (!std::strcmp(argv[i], "--run-ms") && i + 1 < argc)
            runMs = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--before") && i + 1 < argc)
            before.push_back(argv[++i]);
    }
    if (doctor) {
        for (const std::string& command : before)
            Command(command);
        std::string report;
        const bool made = doctor::Report(json, report);
        std::fputs(report.c_str(), made ? stdout : stderr);
        return made ? 0 : 1;
    }
    if (!Load(dll)) {
        std::fprintf(stderr, "usbmon: cannot load %s (error %lu)\n", dll, GetLastError());
        return 2;
    }
    for (const std::string& command : before)
        Command(command);
    api.start(&OnMessage);
    sim::WaitForListener(30000);
    Say("usbmon: started; type 'help' for commands\n");
    if (runMs >= 0) {
        Sleep(static_cast<DWORD>(runMs));
    } else {
        char line[4096];
        while (std::fgets(line, sizeof(line), stdin)) {
            std::string text = line;
            while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
                text.pop_back();
            if (!Command(text))
                break;
        }
    }
    Say("usbmon: stop %s\n", std::to_string(api.stop()).c_str());
    return g_failed ? 1 : 0;
}
