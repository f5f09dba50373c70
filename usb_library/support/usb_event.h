// A portable event object with the two Windows flavours (auto and manual reset), and the pauses
// of long work that its owner can call off.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "support/usb_lock.h"

namespace USB {

class UsbEvent {
public:
    static constexpr uint32_t kInfinite = 0xFFFFFFFFu;

    explicit UsbEvent(bool manualReset = false, bool initiallySet = false) : m_manual(manualReset), m_set(initiallySet)
    {
    }

    void Set() EXCLUDES(m_mutex);
    void Reset() EXCLUDES(m_mutex);
    // True when the event was signalled within timeoutMs (an auto-reset event is then reset).
    bool Wait(uint32_t timeoutMs = kInfinite) EXCLUDES(m_mutex);

private:
    Mutex m_mutex;
    std::condition_variable_any m_cond;
    const bool m_manual;
    bool m_set GUARDED_BY(m_mutex);
};

// While it lives, the pauses of this thread ask `wanted(context)` and give up when it is false:
// a job on a worker is called off so (its phone left, or the service stopped).
class WorkScope {
public:
    WorkScope(bool (*wanted)(void*), void* context);
    ~WorkScope();
    WorkScope(const WorkScope&) = delete;
    WorkScope& operator=(const WorkScope&) = delete;

private:
    bool (*m_outerWanted)(void*);
    void* m_outerContext;
};

// True when the work of this thread has been called off.
bool WorkCalledOff();

// A fixed pause through the clock port. False, before or after the pause, when the work of this
// thread has been called off: the caller gives up and says so in what it returns.
bool PauseMs(uint32_t ms);

}  // namespace USB
