#include "support/usb_event.h"

#include <chrono>

#include "support/ports/ports.h"

namespace USB {

void UsbEvent::Set()
{
    {
        LockGuard g(m_mutex);
        m_set = true;
    }
    if (m_manual)
        m_cond.notify_all();
    else
        m_cond.notify_one();
}

void UsbEvent::Reset()
{
    LockGuard g(m_mutex);
    m_set = false;
}

bool UsbEvent::Wait(uint32_t timeoutMs)
{
    UniqueLock g(m_mutex);
    if (timeoutMs == kInfinite) {
        while (!m_set)
            m_cond.wait(g);
    } else {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!m_set) {
            if (m_cond.wait_until(g, deadline) == std::cv_status::timeout && !m_set)
                return false;
        }
    }
    if (!m_manual)
        m_set = false;
    return true;
}

}  // namespace USB

namespace USB {

namespace {

thread_local bool (*t_wanted)(void*) = nullptr;
thread_local void* t_wantedContext = nullptr;

}  // namespace

WorkScope::WorkScope(bool (*wanted)(void*), void* context) : m_outerWanted(t_wanted), m_outerContext(t_wantedContext)
{
    t_wanted = wanted;
    t_wantedContext = context;
}

WorkScope::~WorkScope()
{
    t_wanted = m_outerWanted;
    t_wantedContext = m_outerContext;
}

bool WorkCalledOff()
{
    return t_wanted && !t_wanted(t_wantedContext);
}

bool PauseMs(uint32_t ms)
{
    if (WorkCalledOff())
        return false;
    GetPorts().clock->SleepMs(ms);
    return !WorkCalledOff();
}

}  // namespace USB
