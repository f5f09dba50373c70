// The library's lock (re-entrant, owned per thread) and its scoped guard.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>

namespace USB {

class UsbCLock {
public:
    UsbCLock() = default;
    UsbCLock(const UsbCLock&) = delete;
    UsbCLock& operator=(const UsbCLock&) = delete;

    void Enter() { m_cs.lock(); }
    void Leave() { m_cs.unlock(); }
    // For waits that must stay bounded (a stop): false when another thread kept the lock for
    // `ms`. Polled, since such waits are rare and short.
    bool TryEnterFor(uint32_t ms)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!m_cs.try_lock()) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

private:
    std::recursive_mutex m_cs;
};

class LockGuard {
public:
    explicit LockGuard(UsbCLock& lock) : m_pLock(&lock) { m_pLock->Enter(); }
    ~LockGuard() { m_pLock->Leave(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    UsbCLock* m_pLock;
};

// Holds the lock when it could be had within `ms` (see TryEnterFor); leaves it at the end.
class TimedLockGuard {
public:
    TimedLockGuard(UsbCLock& lock, uint32_t ms) : m_lock(lock), m_locked(lock.TryEnterFor(ms)) {}
    ~TimedLockGuard()
    {
        if (m_locked)
            m_lock.Leave();
    }
    TimedLockGuard(const TimedLockGuard&) = delete;
    TimedLockGuard& operator=(const TimedLockGuard&) = delete;
    bool Locked() const { return m_locked; }

private:
    UsbCLock& m_lock;
    const bool m_locked;
};

// Milliseconds left until `deadline`, 0 once it has passed.
inline uint32_t MsUntil(std::chrono::steady_clock::time_point deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<uint32_t>(left.count()) : 0;
}

}  // namespace USB
