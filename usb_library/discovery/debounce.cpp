#include "discovery/debounce.h"

#include <utility>

namespace USB {

Debounce::Debounce(ClockPort& clock, std::function<void()> fire, uint64_t delayMs)
    : m_clock(clock), m_fire(std::move(fire)), m_delayMs(delayMs)
{
}

void Debounce::Restart()
{
    LockGuard guard(m_mutex);
    m_armed = true;
    m_dueMs = m_clock.NowMs() + m_delayMs;
}

void Debounce::Cancel()
{
    LockGuard guard(m_mutex);
    m_armed = false;
}

bool Debounce::FireIfDue()
{
    LockGuard guard(m_mutex);
    if (!m_armed || m_clock.NowMs() < m_dueMs)
        return false;
    m_armed = false;
    if (m_fire)
        m_fire();
    return true;
}

uint64_t Debounce::MsLeft()
{
    LockGuard guard(m_mutex);
    if (!m_armed)
        return kIdle;
    const uint64_t now = m_clock.NowMs();
    return now >= m_dueMs ? 0 : m_dueMs - now;
}

}  // namespace USB
