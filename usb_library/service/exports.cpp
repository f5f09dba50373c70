// The seven exports and the process-wide objects behind them. No exception leaves here.
#define USBHELPER_BUILDING
#include "usbhelper.h"

#include <chrono>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>
#include <thread>

#include "service/service.h"
#include "support/sys_utils.h"
#include "support/usb_log.h"

namespace USB {

namespace {

// Nothing here does work at load: Windows holds its loader lock then, and reading the
// configuration or logging (which asks the shell for the data folder) must wait. The service is
// built by the first export instead, before that export does anything.
// On the heap: at process exit the other threads are gone mid-wait, and tearing down the
// objects they waited on can hang the exit. Only an unload by FreeLibrary deletes it.
std::atomic<UsbService*> g_built{nullptr};
Mutex g_apiLock;
std::atomic<bool> g_started{false};
// Start and stop never overlap, even when a stop had to go on without the API lock.
std::mutex g_lifecycle;
// The API lock's share of the stop's second; the rest is the service's.
constexpr uint32_t kStopApiWaitMs = 300;

template <typename Fn>
void Guarded(const char* name, Fn fn)
{
    try {
        fn();
    } catch (const std::exception& e) {
        USB_LOG("%s refused: %s\n", name, e.what());
    } catch (...) {
        USB_LOG("%s refused: unknown error\n", name);
    }
}

}  // namespace

UsbService& TheService()
{
    static UsbService* const service = new UsbService();
    g_built = service;
    return *service;
}

}  // namespace USB

using namespace USB;

extern "C" {

USBHELPER_API void USB_CDECL IUSB_start(UsbUiCallback callback)
{
    if (g_started)
        return;
    Guarded("IUSB_start", [&] {
        UsbService& service = TheService();
        LockGuard guard(g_apiLock);
        // Two racing first calls: only the one that gets the lock first starts the service.
        if (g_started)
            return;
        std::lock_guard<std::mutex> lifecycle(g_lifecycle);
        service.Start();
        service.SetCallback(callback);
        // The service runs from here on: a failed init thread must not leave it unstoppable.
        g_started = true;
        service.StartInit();
    });
}

USBHELPER_API int32_t USB_CDECL IUSB_stop(void)
{
    int32_t result = -1;
    Guarded("IUSB_stop", [&] {
        UsbService& service = TheService();
        // One bound for the whole stop, the wait for the API lock included: its holder may be the
        // host's callback calling back into us while it waits for this very thread. The stop then
        // goes on without the lock; its own state is safe for that.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(UsbService::kStopWaitMs);
        const TimedLockGuard guard(g_apiLock, kStopApiWaitMs);
        if (!guard.Locked())
            USB_LOG("IUSB_stop: another call is still running, stopping without waiting for it\n");
        if (!g_started.exchange(false))
            return;
        std::lock_guard<std::mutex> lifecycle(g_lifecycle);
        service.Stop(deadline);
        result = 0;
    });
    return result;
}

USBHELPER_API void USB_CDECL IUSB_startAdbServer(void)
{
    Guarded("IUSB_startAdbServer", [&] {
        UsbService& service = TheService();
        LockGuard guard(g_apiLock);
        service.StartAdbServer();
    });
}

USBHELPER_API uint8_t USB_CDECL IUSB_isPhone(const char* devicePath)
{
    bool phone = false;
    Guarded("IUSB_isPhone", [&] {
        UsbService& service = TheService();
        LockGuard guard(g_apiLock);
        USB_LOG("start checking if this device is a phone?\n");
        if (!devicePath || std::strlen(devicePath) < 4) {
            USB_LOG("this device is not a phone\n");
            return;
        }
        const std::string id = ToUpperAscii(std::string(devicePath).substr(4));
        phone = service.IsPhone(id);
        USB_LOG(phone ? "this device is a phone\n" : "this device is not a phone\n");
    });
    return phone ? 1 : 0;
}

USBHELPER_API uint8_t USB_CDECL IUSB_hasPhone(void)
{
    bool phone = false;
    Guarded("IUSB_hasPhone", [&] {
        UsbService& service = TheService();
        LockGuard guard(g_apiLock);
        USB_LOG("checking if this device is a phone?\n");
        phone = service.HasPhone();
        USB_LOG(phone ? "there is a phone is pluged into the pc\n" : "nothing phone is pluged into the pc\n");
    });
    return phone ? 1 : 0;
}

USBHELPER_API uint8_t USB_CDECL IUSB_getPhoneList(char* buffer, uint32_t* length)
{
    bool ok = false;
    Guarded("IUSB_getPhoneList", [&] {
        UsbService& service = TheService();
        if (!length) {
            USB_LOG("IUSB_getPhoneList refused: no length\n");
            return;
        }
        // Before start nothing else has loaded the whitelist; the list loads it.
        std::string document;
        if (!service.BuildPhoneList(document))
            return;
        const uint32_t size = static_cast<uint32_t>(document.size());
        if (size >= *length) {
            *length = size;
        } else {
            if (!buffer) {
                USB_LOG("IUSB_getPhoneList refused: no buffer\n");
                return;
            }
            std::memcpy(buffer, document.data(), size);
        }
        ok = true;
    });
    return ok ? 1 : 0;
}

USBHELPER_API void USB_CDECL IUSB_SendMessage(const char* message)
{
    // Never waits for another export (an IUSB_isPhone asking the cloud, say): it only queues.
    Guarded("IUSB_SendMessage", [&] {
        UsbService& service = TheService();
        if (!message) {
            USB_LOG("IUSB_SendMessage refused: null text\n");
            return;
        }
        service.PostMessage(message);
    });
}

}  // extern "C"

#ifdef USBHELPER_DLL
// Last in the file: <windows.h> renames PostMessage.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved)
{
    // reserved is null for FreeLibrary and non-null when the process ends.
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr)
        delete g_built.load();
    return TRUE;
}
#endif
