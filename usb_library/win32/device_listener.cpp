#include "win32/device_listener.h"

#include <dbt.h>

#include <cstddef>
#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <utility>

#include "support/sys_utils.h"
#include "support/threads.h"
#include "support/usb_log.h"
#include "win32/wide_text.h"
#include "win32/system_adapter.h"

namespace USB {

namespace {

// {A5DCBF10-6530-11D2-901F-00C04FB951ED}: the USB device interface class.
const GUID kUsbDeviceInterface = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
static_assert(offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) == 28, "DeviceInterfaceName's layout");
const wchar_t kClassName[] = L"lolclass";
constexpr DWORD kReadyWaitMs = 1000;
constexpr DWORD kTimerJoinMs = 2000;

Win32DeviceListener* g_windowListener = nullptr;

}  // namespace

// ---- DebounceTimer --------------------------------------------------------------------------

DebounceTimer::DebounceTimer(std::function<void()> fire, uint64_t delayMs)
    : m_debounce(Win32Clock(), std::move(fire), delayMs)
{
}

DebounceTimer::~DebounceTimer()
{
    if (m_started) {
        m_ending = true;
        SetEvent(m_wake);
        m_ended->Wait(kTimerJoinMs);
    }
    if (m_timer)
        CloseHandle(m_timer);
    if (m_wake)
        CloseHandle(m_wake);
}

bool DebounceTimer::EnsureThread()
{
    LockGuard guard(m_startMutex);
    if (m_started)
        return true;
    // A timer or thread that cannot be made now is tried again at the next arming.
    if (!m_timer) {
        wchar_t name[40];
        std::swprintf(name, sizeof(name) / sizeof(name[0]), L"LRT_%llx",
                      static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(this)));
        m_timer = CreateWaitableTimerW(nullptr, FALSE, name);
    }
    if (!m_wake)
        m_wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!m_timer || !m_wake)
        return false;
    std::shared_ptr<UsbEvent> ended = m_ended;
    m_started = StartThread([this, ended] {
        try {
            Run();
        } catch (...) {
            USB_LOG("the timer thread failed\n");
        }
        ended->Set();
    });
    return m_started;
}

void DebounceTimer::Restart()
{
    if (!EnsureThread())
        return;
    m_debounce.Restart();
    SetEvent(m_wake);
}

void DebounceTimer::Cancel()
{
    m_debounce.Cancel();
    LockGuard guard(m_startMutex);
    if (m_started)
        SetEvent(m_wake);
}

void DebounceTimer::Run()
{
    const HANDLE handles[] = {m_wake, m_timer};
    while (!m_ending) {
        // Whatever woke us, the debounce says whether to fire and how long to wait next.
        try {
            m_debounce.FireIfDue();
            const uint64_t left = m_debounce.MsLeft();
            if (left == Debounce::kIdle) {
                CancelWaitableTimer(m_timer);
            } else {
                LARGE_INTEGER due;
                due.QuadPart = -static_cast<LONGLONG>(left) * 10000;
                SetWaitableTimer(m_timer, &due, 0, nullptr, nullptr, FALSE);
            }
        } catch (...) {
            USB_LOG("the timer callback failed\n");
        }
        if (WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_FAILED)
            break;
    }
    CancelWaitableTimer(m_timer);
}

// ---- Win32DeviceListener --------------------------------------------------------------------------

ListenerPort* CreateWin32Listener()
{
    if (g_windowListener)
        return g_windowListener;
    return new (std::nothrow) Win32DeviceListener();
}

Win32DeviceListener::Win32DeviceListener()
{
    m_quitEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_readyEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!g_windowListener)
        g_windowListener = this;
}

// Runs only at process end (the module is pinned while the threads live), when the other
// threads are gone: nothing to stop, only handles to close.
Win32DeviceListener::~Win32DeviceListener()
{
    if (g_windowListener == this)
        g_windowListener = nullptr;
    if (m_quitEvent)
        CloseHandle(m_quitEvent);
    if (m_readyEvent)
        CloseHandle(m_readyEvent);
}

DWORD Win32DeviceListener::RunWindow()
{
    Win32DeviceListener* self = this;
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW wc = {};
    wc.style = CS_VREDRAW;
    wc.lpfnWndProc = &Win32DeviceListener::WindowProc;
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
    self->RegisterNotifications();
    ShowWindow(hWnd, SW_HIDE);
    UpdateWindow(hWnd);
    SetEvent(self->m_readyEvent);
    if (self->m_late.exchange(false))
        self->Post(DevnodesChangedText().c_str());

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

void Win32DeviceListener::RunConsumer()
{
    // The sink keeps being fed after a failure: only the text in hand is lost.
    for (;;) {
        try {
            m_queue.ConsumeLoop();
            return;
        } catch (...) {
            USB_LOG("the listener consumer failed, it goes on\n");
            Sleep(10);
        }
    }
}

void Win32DeviceListener::Start()
{
    // A later start keeps the window (and its registration) that the first one made; only a
    // window thread that has ended is started again.
    if (m_windowEnded && m_windowEnded->Wait(0)) {
        m_windowEnded.reset();
        m_hWnd = nullptr;
        m_hDevNotify = nullptr;
    }
    if (!m_windowEnded) {
        // The window procedure and the threads run our code until the process ends: keep the
        // module loaded even if the host frees it.
        HMODULE self = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           reinterpret_cast<LPCWSTR>(&Win32DeviceListener::WindowProc), &self);
        if (m_readyEvent)
            ResetEvent(m_readyEvent);
        auto ended = std::make_shared<UsbEvent>(true, false);
        if (StartThread([this, ended] {
                try {
                    RunWindow();
                } catch (...) {
                    USB_LOG("the listener window thread failed\n");
                }
                ended->Set();
            }))
            m_windowEnded = ended;
        // A first window of a process can take seconds (a fresh Wine prefix does): the start does
        // not wait for all of it, and the window looks at the tree itself once it is up.
        if (m_windowEnded && m_readyEvent && WaitForSingleObject(m_readyEvent, kReadyWaitMs) != WAIT_OBJECT_0) {
            m_late = true;
            if (WaitForSingleObject(m_readyEvent, 0) == WAIT_OBJECT_0 && m_late.exchange(false))
                Post(DevnodesChangedText().c_str());
            USB_LOG("the listener window is not up yet, it looks at the device tree once it is\n");
        }
    }
}

void Win32DeviceListener::RegisterNotifications()
{
    DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_reserved = 0;
    filter.dbcc_classguid = kUsbDeviceInterface;
    m_hDevNotify = RegisterDeviceNotificationW(m_hWnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    if (!m_hDevNotify)
        USB_LOG("Can not register device notify:");
}

void Win32DeviceListener::SetSink(ListenerSink sink, void* context)
{
    m_queue.SetSink(sink, context);
}

bool Win32DeviceListener::HasConsumer()
{
    return m_consumerStarted;
}

void Win32DeviceListener::StartConsumer()
{
    if (m_consumerStarted)
        return;
    m_queue.ArmConsumer();
    m_consumerStarted = StartThread([this] { RunConsumer(); });
    if (!m_consumerStarted)
        m_queue.StopConsumer();
}

void Win32DeviceListener::OnDeviceChange(WPARAM wParam, LPARAM lParam)
{
    switch (wParam) {
    case DBT_DEVNODES_CHANGED:
        // Each notification restarts the debounce: one DEVNODES_CHANGED per burst.
        m_timer.Restart();
        break;
    case DBT_DEVICEARRIVAL:
    case DBT_DEVICEREMOVECOMPLETE: {
        // An arrival or removal covers the pending tree change.
        m_timer.Cancel();
        std::wstring name;
        if (!DeviceInterfaceName(reinterpret_cast<const void*>(lParam), name))
            break;
        Post(DeviceChangeText(wParam == DBT_DEVICEARRIVAL, WideToMultiByte(name)).c_str());
        break;
    }
    default:
        break;
    }
}

LRESULT CALLBACK Win32DeviceListener::WindowProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    // Nothing may unwind through the window manager's frames.
    try {
        switch (message) {
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        case WM_COPYDATA: {
            const COPYDATASTRUCT* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
            if (data && g_windowListener) {
                std::string text;
                if (CopyDataText(data->lpData, data->cbData, text))
                    g_windowListener->Post(text.c_str());
            }
            return 0;
        }
        case WM_DEVICECHANGE:
            if (g_windowListener)
                g_windowListener->OnDeviceChange(wParam, lParam);
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
