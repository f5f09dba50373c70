#include "discovery/win32/Usb_WMessage.h"

#include <dbt.h>

#include <cstddef>
#include <cstdio>
#include <exception>
#include <new>
#include <string>

#include "support/sys_utils.h"
#include "support/usb_log.h"

namespace USB {

namespace {

// {A5DCBF10-6530-11D2-901F-00C04FB951ED}: the USB device interface class.
const GUID kUsbDeviceInterface = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
static_assert(offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) == 28, "DeviceInterfaceName's layout");
const wchar_t kClassName[] = L"lolclass";
constexpr DWORD kReadyWaitMs = 1000;
constexpr DWORD kTimerJoinMs = 2000;
constexpr uint32_t kDebounceMs = 1500;

WMessage* g_wmessage = nullptr;

// Serialises the expiry routines of every timer.
UsbCLock& TimerLock()
{
    static UsbCLock lock;
    return lock;
}

void JoinThread(HANDLE thread, HANDLE stoppedEvent)
{
    if (!thread)
        return;
    if (WaitForSingleObject(thread, kTimerJoinMs) == WAIT_OBJECT_0 && stoppedEvent)
        ResetEvent(stoppedEvent);
    CloseHandle(thread);
}

}  // namespace

// ---- UsbTimer --------------------------------------------------------------------------

UsbTimer::UsbTimer()
{
    m_stoppedEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
}

UsbTimer::~UsbTimer()
{
    if (m_stoppedEvent)
        CloseHandle(m_stoppedEvent);
}

DWORD WINAPI UsbTimer::ThreadProc(LPVOID self)
{
    try {
        return static_cast<UsbTimer*>(self)->Run();
    } catch (...) {
        USB_LOG("the timer thread failed\n");
        return 1;
    }
}

VOID CALLBACK UsbTimer::Expired(LPVOID self, DWORD low, DWORD high)
{
    // Runs inside the alertable sleep: nothing may unwind through the system's frames.
    try {
        UsbTimer* timer = static_cast<UsbTimer*>(self);
        UsbMutex guard(TimerLock());
        if (timer->m_running)
            timer->OnTimer(0, low, high);
    } catch (...) {
        USB_LOG("the timer callback failed\n");
    }
}

unsigned UsbTimer::Run()
{
    wchar_t name[40];
    std::swprintf(name, sizeof(name) / sizeof(name[0]), L"LRT_%llx",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(this)));
    HANDLE timer = CreateWaitableTimerW(nullptr, FALSE, name);
    if (!timer)
        return 1;
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(m_periodMs) * 10000;
    if (!SetWaitableTimer(timer, &due, static_cast<LONG>(m_periodMs), &UsbTimer::Expired, this, FALSE)) {
        CloseHandle(timer);
        return 1;
    }
    // The alertable sleep is where the expiry routine runs.
    while (m_running)
        SleepEx(1, TRUE);
    CancelWaitableTimer(timer);
    CloseHandle(timer);
    SetEvent(m_stoppedEvent);
    return 0;
}

void UsbTimer::OnTimer(DWORD, DWORD, DWORD)
{
    UsbMutex guard(m_lock);
    if (m_running && m_callback)
        m_callback(m_callbackArg);
}

void UsbTimer::JoinFinishing()
{
    HANDLE finishing = nullptr;
    {
        UsbMutex guard(m_lock);
        finishing = m_finishing;
        m_finishing = nullptr;
    }
    JoinThread(finishing, m_stoppedEvent);
}

void UsbTimer::Start()
{
    Stop();
    JoinFinishing();
    UsbMutex guard(m_lock);
    m_running = true;
    m_thread = CreateThread(nullptr, 0, &UsbTimer::ThreadProc, this, 0, &m_threadId);
    if (!m_thread) {
        m_running = false;
        m_threadId = 0;
    }
}

void UsbTimer::Stop()
{
    HANDLE joinable = nullptr;
    {
        UsbMutex guard(m_lock);
        if (!m_running)
            return;
        m_running = false;
        if (GetCurrentThreadId() == m_threadId) {
            // Stopping from the timer's own callback: the thread cannot end while we wait
            // for it, and it ends by itself once the callback returns.
            if (m_finishing)
                CloseHandle(m_finishing);
            m_finishing = m_thread;
        } else {
            joinable = m_thread;
        }
        m_thread = nullptr;
        m_threadId = 0;
    }
    // Waited for outside the lock: the expiry routine may be waiting for it.
    JoinThread(joinable, m_stoppedEvent);
}

// ---- WMessage --------------------------------------------------------------------------

WMessage* TheWMessage()
{
    return g_wmessage;
}

ListenerPort* CreateWin32Listener()
{
    if (g_wmessage)
        return g_wmessage;
    return new (std::nothrow) WMessage();
}

WMessage::WMessage()
{
    m_quitEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_readyEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!g_wmessage)
        g_wmessage = this;
}

// Runs only at process end (the module is pinned while the threads live), when the other
// threads are gone: nothing to stop, only handles to close.
WMessage::~WMessage()
{
    if (g_wmessage == this)
        g_wmessage = nullptr;
    if (m_quitEvent)
        CloseHandle(m_quitEvent);
    if (m_readyEvent)
        CloseHandle(m_readyEvent);
}

DWORD WINAPI WMessage::WindowThread(LPVOID arg)
{
    try {
        return static_cast<WMessage*>(arg)->RunWindow();
    } catch (...) {
        USB_LOG("the listener window thread failed\n");
        return static_cast<DWORD>(-1);
    }
}

DWORD WMessage::RunWindow()
{
    WMessage* self = this;
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW wc = {};
    wc.style = CS_VREDRAW;
    wc.lpfnWndProc = &WMessage::WindowProc;
    wc.hInstance = instance;
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(2));
    wc.lpszClassName = kClassName;
    if (!RegisterClassW(&wc))
        return static_cast<DWORD>(-1);
    HWND hWnd = CreateWindowExW(0, kClassName, L"", WS_MINIMIZE, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                CW_USEDEFAULT, nullptr, nullptr, instance, nullptr);
    if (!hWnd)
        return static_cast<DWORD>(-1);
    self->m_hWnd = hWnd;
    ShowWindow(hWnd, SW_HIDE);
    UpdateWindow(hWnd);
    SetEvent(self->m_readyEvent);

    MSG msg = {};
    BOOL got;
    while ((got = GetMessageW(&msg, hWnd, 0, 0)) != 0) {
        if (got == -1 || WaitForSingleObject(self->m_quitEvent, 0) == WAIT_OBJECT_0)
            break;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return static_cast<DWORD>(msg.wParam);
}

DWORD WINAPI WMessage::ConsumerThread(LPVOID arg)
{
    WMessage* self = static_cast<WMessage*>(arg);
    // The sink keeps being fed after a failure: only the text in hand is lost.
    for (;;) {
        try {
            self->m_queue.ConsumeLoop();
            return 0;
        } catch (...) {
            USB_LOG("the listener consumer failed, it goes on\n");
            Sleep(10);
        }
    }
}

void WMessage::Start()
{
    m_started = false;
    // A later start keeps the window (and its registration) that the first one made; only a
    // window thread that has ended is started again.
    if (m_windowThread && WaitForSingleObject(m_windowThread, 0) == WAIT_OBJECT_0) {
        CloseHandle(m_windowThread);
        m_windowThread = nullptr;
        m_hWnd = nullptr;
        m_hDevNotify = nullptr;
    }
    if (!m_windowThread) {
        // The window procedure and the threads run our code until the process ends: keep the
        // module loaded even if the host frees it.
        HMODULE self = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           reinterpret_cast<LPCWSTR>(&WMessage::WindowProc), &self);
        if (m_readyEvent)
            ResetEvent(m_readyEvent);
        m_windowThread = CreateThread(nullptr, 0, &WMessage::WindowThread, this, 0, nullptr);
        if (m_windowThread && m_readyEvent)
            WaitForSingleObject(m_readyEvent, kReadyWaitMs);
    }
    if (!m_hDevNotify && m_hWnd) {
        DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
        filter.dbcc_size = sizeof(filter);
        filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        filter.dbcc_reserved = 0;
        filter.dbcc_classguid = kUsbDeviceInterface;
        m_hDevNotify = RegisterDeviceNotificationW(m_hWnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    }
    if (!m_hDevNotify)
        USB_LOG("Can not register device notify:");
    m_started = true;
}

void WMessage::SetSink(ListenerSink sink, void* context)
{
    m_queue.SetSink(sink, context);
}

bool WMessage::HasConsumer()
{
    return m_consumerThread != nullptr;
}

void WMessage::StartConsumer()
{
    if (m_consumerThread)
        return;
    m_queue.m_consumerRunning = 1;
    m_consumerThread = CreateThread(nullptr, 0, &WMessage::ConsumerThread, this, 0, nullptr);
    if (!m_consumerThread)
        m_queue.m_consumerRunning = 0;
}

void WMessage::PostDevnodesChanged(uintptr_t)
{
    WMessage* self = g_wmessage;
    if (!self)
        return;
    self->Post(DevnodesChangedText().c_str());
    self->m_timer.Stop();
}

void WMessage::OnDeviceChange(WPARAM wParam, LPARAM lParam)
{
    switch (wParam) {
    case DBT_DEVNODES_CHANGED:
        // Each notification restarts the debounce: one DEVNODES_CHANGED per burst.
        m_timer.Stop();
        m_timer.m_callback = &WMessage::PostDevnodesChanged;
        m_timer.m_callbackArg = 0;
        m_timer.m_periodMs = kDebounceMs;
        m_timer.Start();
        break;
    case DBT_DEVICEARRIVAL:
    case DBT_DEVICEREMOVECOMPLETE: {
        // An arrival or removal covers the pending tree change.
        m_timer.Stop();
        std::wstring name;
        if (!DeviceInterfaceName(reinterpret_cast<const void*>(lParam), name))
            break;
        char* narrow = WideToMultiByte(name.c_str());
        const std::string path = narrow ? narrow : "";
        delete[] narrow;
        Post(DeviceChangeText(wParam == DBT_DEVICEARRIVAL, path).c_str());
        break;
    }
    default:
        break;
    }
}

LRESULT CALLBACK WMessage::WindowProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    // Nothing may unwind through the window manager's frames.
    try {
        switch (message) {
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        case WM_COPYDATA: {
            const COPYDATASTRUCT* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
            if (data && g_wmessage) {
                std::string text;
                if (CopyDataText(data->lpData, data->cbData, text))
                    g_wmessage->Post(text.c_str());
            }
            return 0;
        }
        case WM_DEVICECHANGE:
            if (g_wmessage)
                g_wmessage->OnDeviceChange(wParam, lParam);
            return 0;
        default:
            break;
        }
    } catch (...) {
        return 0;
    }
    return DefWindowProcW(hWnd, message, wParam, lParam);
}

}  // namespace USB
