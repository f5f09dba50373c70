// The Windows device-change listener: a hidden "lolclass" window on a thread of its own that
// turns WM_DEVICECHANGE and WM_COPYDATA into action texts, a debounce timer for bursts of
// device-tree changes, and the consumer thread that feeds the service's sink.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "discovery/debounce.h"
#include "discovery/listener_queue.h"
#include "support/ports/listener_port.h"
#include "support/usb_event.h"
#include "support/usb_lock.h"

namespace USB {

// The debounce's waker: one thread that waits on a waitable timer named "LRT_<address>", set
// to the time the debounce has left, and on a wake event for changes; when woken it asks the
// debounce to fire. The thread is made on the first arming and ends with the object.
class DebounceTimer {
public:
    explicit DebounceTimer(std::function<void()> fire, uint64_t delayMs = Debounce::kTreeChangeMs);
    ~DebounceTimer();
    DebounceTimer(const DebounceTimer&) = delete;
    DebounceTimer& operator=(const DebounceTimer&) = delete;

    void Restart();
    void Cancel() EXCLUDES(m_startMutex);

private:
    void Run();
    bool EnsureThread() EXCLUDES(m_startMutex);

    Debounce m_debounce;
    Mutex m_startMutex;
    // Made before the thread starts, which then only uses them.
    HANDLE m_timer = nullptr;
    HANDLE m_wake = nullptr;  // auto-reset: the debounce changed, or the thread is to end
    bool m_started GUARDED_BY(m_startMutex) = false;
    // Set by the thread as it ends; shared, since the thread may outlive a destructor that
    // stopped waiting for it.
    std::shared_ptr<UsbEvent> m_ended = std::make_shared<UsbEvent>(true, false);
    std::atomic<bool> m_ending{false};
};

class Win32DeviceListener : public ListenerPort {
public:
    Win32DeviceListener();
    ~Win32DeviceListener() override;
    Win32DeviceListener(const Win32DeviceListener&) = delete;
    Win32DeviceListener& operator=(const Win32DeviceListener&) = delete;

    // ListenerPort.
    void Start() override;
    void SetSink(ListenerSink sink, void* context) override;
    bool HasConsumer() override;
    void StartConsumer() override;

    void Post(const char* text) { m_queue.Post(text); }
    static LRESULT CALLBACK WindowProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);

private:
    HWND m_hWnd = nullptr;
    ListenerQueue m_queue;
    // After the queue it posts to, so that it ends first.
    DebounceTimer m_timer{[this] { Post(DevnodesChangedText().c_str()); }};
    bool m_consumerStarted = false;
    HANDLE m_quitEvent = nullptr;
    HANDLE m_readyEvent = nullptr;
    HDEVNOTIFY m_hDevNotify = nullptr;  // the window thread's

    // On the window thread, as soon as the window exists: however late that is, device
    // notifications reach it from then on.
    void RegisterNotifications();
    DWORD RunWindow();
    void RunConsumer();
    void OnDeviceChange(WPARAM wParam, LPARAM lParam);

    // Set as the window thread ends; null while none runs.
    std::shared_ptr<UsbEvent> m_windowEnded;
    // Start gave up waiting for the window: what was plugged meanwhile is found by one look at
    // the tree once it is up.
    std::atomic<bool> m_late{false};
};

// Factory for the ports bundle.
ListenerPort* CreateWin32Listener();

}  // namespace USB
