// The DLL's exports: Winsock lifetime, server start/stop bookkeeping, and a
// catch-all so nothing thrown ever reaches the caller.
#define ADB_BRIDGE_BUILDING
#include "adb_bridge.h"

#include <winsock2.h>
#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "adb_api.h"
#include "adb_protocol.h"
#include "adb_server_launch.h"

namespace {

std::mutex g_mutex;
int g_init_count = 0;
bool g_started_server = false;  // by IUSB_AdbServerStart, so ours to stop

// Every wait on the server has a bound. The whole of IUSB_AdbServerStart, one launch included:
constexpr int kStartMs = 10000;
// A server answers host:version at once; a program that holds the port and keeps silent gets this long.
constexpr int kProbeMs = 1000;
constexpr int kListingMs = 2000;       // the device listing, asked for before every check
constexpr int kHostRequestMs = 10000;  // version, forward, kill
constexpr int kPollPauseMs = 100;

adb::ClientOptions Options(int total_ms)
{
    adb::ClientOptions o;
    o.port = adb::ParsePortOrDefault(std::getenv("ANDROID_ADB_SERVER_PORT"));
    o.total_ms = total_ms;
    return o;
}

int MsLeft(std::chrono::steady_clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Each call holds its own Winsock reference, so the exports also work for a
// caller that skipped IUSB_Init; Windows counts these itself.
template <typename F>
int WithWinsock(int total_ms, F body)
{
    try {
        WSADATA data;
        if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
            return IUSB_ERR_WINSOCK;
        int rc;
        try {
            rc = body(Options(total_ms));
        } catch (...) {
            rc = IUSB_ERR_INTERNAL;
        }
        WSACleanup();
        return rc;
    } catch (...) {
        return IUSB_ERR_INTERNAL;
    }
}

DWORD WINAPI TrackerThread(void* tracker)
{
    WSADATA data;
    const bool sockets = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    try {
        static_cast<adb::DeviceTracker*>(tracker)->Run();
    } catch (...) {
    }
    if (sockets)
        WSACleanup();
    // The thread holds its own reference to the library, so the code it runs stays mapped until here.
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&TrackerThread), &self);
    FreeLibraryAndExitThread(self, 0);
    return 0;
}

bool StartTrackerThread(adb::DeviceTracker* tracker)
{
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&TrackerThread), &self))
        return false;
    HANDLE thread = CreateThread(nullptr, 0, &TrackerThread, tracker, 0, nullptr);
    if (!thread) {
        FreeLibrary(self);
        return false;
    }
    CloseHandle(thread);
    return true;
}

// Never destroyed: at process exit its thread is already gone, and a stop would wait for it.
adb::DeviceTracker& Tracker()
{
    static adb::DeviceTracker* tracker = [] {
        adb::ClientOptions o = Options(0);
        o.io_ms = 2000;  // the answer to the request; the lists themselves may come at any time
        return new adb::DeviceTracker(o, &StartTrackerThread);
    }();
    return *tracker;
}

}  // namespace

extern "C" {

ADB_BRIDGE_API int ADB_BRIDGE_CDECL IUSB_Init(void)
{
    return adb::Guarded([] {
        std::lock_guard<std::mutex> lock(g_mutex);
        WSADATA data;
        if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
            return IUSB_ERR_WINSOCK;
        ++g_init_count;
        return IUSB_OK;
    });
}

ADB_BRIDGE_API int ADB_BRIDGE_CDECL IUSB_Exit(void)
{
    return adb::Guarded([] {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (g_init_count == 0)
            return IUSB_ERR_NOT_INITIALIZED;
        --g_init_count;
        WSACleanup();
        return IUSB_OK;
    });
}

ADB_BRIDGE_API int ADB_BRIDGE_CDECL IUSB_AdbServerStart(void)
{
    return WithWinsock(kProbeMs, [](const adb::ClientOptions& probe) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartMs);
        // A program that accepts on the port but never answers holds it as much as a server does:
        // nothing started here could listen there.
        if (adb::ProbeServer(probe) != adb::ServerState::kAbsent)
            return IUSB_SERVER_RUNNING;
        if (!adb::LaunchAdbStartServer())
            return IUSB_ERR_NO_ADB;
        for (int left = MsLeft(deadline); left > 0; left = MsLeft(deadline)) {
            adb::ClientOptions poll = probe;
            poll.total_ms = left < kProbeMs ? left : kProbeMs;
            if (adb::ProbeServer(poll) == adb::ServerState::kAnswers) {
                std::lock_guard<std::mutex> lock(g_mutex);
                g_started_server = true;
                return IUSB_OK;
            }
            const int pause = MsLeft(deadline);
            std::this_thread::sleep_for(std::chrono::milliseconds(pause < kPollPauseMs ? pause : kPollPauseMs));
        }
        return IUSB_ERR_START_TIMEOUT;
    });
}

ADB_BRIDGE_API int ADB_BRIDGE_CDECL IUSB_AdbServerExit(void)
{
    return WithWinsock(kHostRequestMs, [](const adb::ClientOptions& o) {
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            if (!g_started_server)
                return 1;
            g_started_server = false;
        }
        return adb::ApiKill(o);
    });
}

ADB_BRIDGE_API int ADB_BRIDGE_CDECL IUSB_KillServer(void)
{
    return WithWinsock(kHostRequestMs, [](const adb::ClientOptions& o) {
        int rc = adb::ApiKill(o);
        if (rc == IUSB_OK) {
            std::lock_guard<std::mutex> lock(g_mutex);
            g_started_server = false;
        }
        return rc;
    });
}

ADB_BRIDGE_API int ADB_BRIDGE_CDECL IUSB_Vesion(void)
{
    return WithWinsock(kHostRequestMs, [](const adb::ClientOptions& o) { return adb::ApiVersion(o); });
}

ADB_BRIDGE_API int ADB_BRIDGE_CDECL IUSB_GetDevices(char* buf, int size)
{
    return WithWinsock(kListingMs, [=](const adb::ClientOptions& o) { return adb::ApiGetDevices(o, buf, size); });
}

ADB_BRIDGE_API int ADB_BRIDGE_CDECL AdbWaitDeviceListChange(unsigned int lastGeneration, unsigned int timeoutMs,
                                                            unsigned int* generation)
{
    return adb::Guarded([=] { return adb::ApiWaitDeviceListChange(Tracker(), lastGeneration, timeoutMs, generation); });
}

ADB_BRIDGE_API int ADB_BRIDGE_CDECL AdbGetTrackedDevices(char* buf, int size, unsigned int* generation)
{
    return adb::Guarded([=] { return adb::ApiTrackedDevices(Tracker(), buf, size, generation); });
}

ADB_BRIDGE_API int ADB_BRIDGE_CDECL AdbStopDeviceTracking(void)
{
    return adb::Guarded([] {
        Tracker().Stop();
        return IUSB_OK;
    });
}

ADB_BRIDGE_API int ADB_BRIDGE_CDECL IUSB_Shell(const char* serial, const char* command, char* out, int out_size)
{
    return WithWinsock(0,
                       [=](const adb::ClientOptions& o) { return adb::ApiShell(o, serial, command, out, out_size); });
}

ADB_BRIDGE_API int ADB_BRIDGE_CDECL IUSB_Forward(const char* serial, const char* local, const char* remote)
{
    return WithWinsock(kHostRequestMs,
                       [=](const adb::ClientOptions& o) { return adb::ApiForward(o, serial, local, remote); });
}

ADB_BRIDGE_API int ADB_BRIDGE_CDECL IUSB_Install(const char* serial, const char* apk_path, char* out, int out_size)
{
    return WithWinsock(
        0, [=](const adb::ClientOptions& o) { return adb::ApiInstall(o, serial, apk_path, out, out_size); });
}

ADB_BRIDGE_API int ADB_BRIDGE_CDECL IUSB_Uninstall(const char* serial, const char* package, char* out, int out_size)
{
    return WithWinsock(
        0, [=](const adb::ClientOptions& o) { return adb::ApiUninstall(o, serial, package, out, out_size); });
}

ADB_BRIDGE_API int ADB_BRIDGE_CDECL IUSB_Pull(const char* serial, const char* remote_path, const char* local_path)
{
    return WithWinsock(0,
                       [=](const adb::ClientOptions& o) { return adb::ApiPull(o, serial, remote_path, local_path); });
}

}  // extern "C"
