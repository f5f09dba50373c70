#include "support/usb_event.h"

#include <chrono>

namespace USB {

void UsbEvent::Set()
{
    {
        std::lock_guard<std::mutex> g(m_mutex);
        m_set = true;
    }
    if (m_manual)
        m_cond.notify_all();
    else
        m_cond.notify_one();
}

void UsbEvent::Reset()
{
    std::lock_guard<std::mutex> g(m_mutex);
    m_set = false;
}

bool UsbEvent::Wait(uint32_t timeoutMs)
{
    std::unique_lock<std::mutex> g(m_mutex);
    auto ready = [this] { return m_set; };
    if (timeoutMs == kInfinite)
        m_cond.wait(g, ready);
    else if (!m_cond.wait_for(g, std::chrono::milliseconds(timeoutMs), ready))
        return false;
    if (!m_manual)
        m_set = false;
    return true;
}

}  // namespace USB
