// The library's lock (re-entrant, owned per thread) and its scoped guard.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>

namespace USB {

class UsbCLock {
public:
    UsbCLock() = default;
    virtual ~UsbCLock() = default;
    UsbCLock(const UsbCLock&) = delete;
    UsbCLock& operator=(const UsbCLock&) = delete;

    void Enter() { m_cs.lock(); }
    void Leave() { m_cs.unlock(); }
    // For waits that must stay bounded: false when another thread kept the lock for `ms`.
    bool TryEnterFor(uint32_t ms) { return m_cs.try_lock_for(std::chrono::milliseconds(ms)); }

private:
    std::recursive_timed_mutex m_cs;
};

class UsbMutex {
public:
    explicit UsbMutex(UsbCLock& lock) : m_pLock(&lock) { m_pLock->Enter(); }
    virtual ~UsbMutex() { m_pLock->Leave(); }
    UsbMutex(const UsbMutex&) = delete;
    UsbMutex& operator=(const UsbMutex&) = delete;

private:
    UsbCLock* m_pLock;
};

// Milliseconds left until `deadline`, 0 once it has passed.
inline uint32_t MsUntil(std::chrono::steady_clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<uint32_t>(left.count()) : 0;
}

}  // namespace USB
