// The Windows device-change listener: a hidden "lolclass" window on a thread of its own that
// turns WM_DEVICECHANGE and WM_COPYDATA into action texts, a debounce timer for bursts of
// device-tree changes, and the consumer thread that feeds the service's sink.
#pragma once

#include <atomic>
#include <windows.h>

#include <cstdint>

#include "discovery/listener_queue.h"
#include "support/ports/listener_port.h"
#include "support/usb_lock.h"

namespace USB {

// A periodic waitable timer on a thread of its own, used as a one-shot debounce: the owner
// sets the callback, its argument and the period, then calls Start.
class UsbTimer {
public:
    UsbTimer();
    virtual ~UsbTimer();
    UsbTimer(const UsbTimer&) = delete;
    UsbTimer& operator=(const UsbTimer&) = delete;

    virtual unsigned Run();
    virtual void OnTimer(DWORD zero, DWORD low, DWORD high);

    void Start();
    // Disarms the timer; safe from the timer's own callback (it then does not wait for itself).
    void Stop();

    uint32_t m_periodMs = 1000;
    void (*m_callback)(uintptr_t) = nullptr;
    uintptr_t m_callbackArg = 0;
    std::atomic<bool> m_running{false};
    HANDLE m_thread = nullptr;
    DWORD m_threadId = 0;
    HANDLE m_stoppedEvent = nullptr;
    UsbCLock m_lock;

private:
    static DWORD WINAPI ThreadProc(LPVOID self);
    static VOID CALLBACK Expired(LPVOID self, DWORD low, DWORD high);
    void JoinFinishing();

    // A timer thread that disarmed itself from its callback; it ends right after, and is
    // joined before the next arming so two threads never share the named timer.
    HANDLE m_finishing = nullptr;
};

class WMessage : public ListenerPort {
public:
    WMessage();
    ~WMessage() override;
    WMessage(const WMessage&) = delete;
    WMessage& operator=(const WMessage&) = delete;

    // ListenerPort.
    void Start() override;
    void SetSink(ListenerSink sink, void* context) override;
    bool HasConsumer() override;
    void StartConsumer() override;

    void Post(const char* text) { m_queue.Post(text); }
    static LRESULT CALLBACK WindowProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);

    HWND m_hWnd = nullptr;
    UsbTimer m_timer;
    ListenerQueue m_queue;
    HANDLE m_consumerThread = nullptr;
    HANDLE m_quitEvent = nullptr;
    HANDLE m_readyEvent = nullptr;
    volatile bool m_started = false;
    HDEVNOTIFY m_hDevNotify = nullptr;

private:
    static DWORD WINAPI WindowThread(LPVOID self);
    DWORD RunWindow();
    static DWORD WINAPI ConsumerThread(LPVOID self);
    static void PostDevnodesChanged(uintptr_t unused);
    void OnDeviceChange(WPARAM wParam, LPARAM lParam);

    HANDLE m_windowThread = nullptr;
};

// The process-wide listener (null until the first one is made).
WMessage* TheWMessage();
// Factory for the ports bundle.
ListenerPort* CreateWin32Listener();

}  // namespace USB
