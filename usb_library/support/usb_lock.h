// The library's lock (not re-entrant) and its scoped guards, annotated for clang's
// thread-safety analysis. A function that needs the lock and is called both with and without it
// is split: the public part locks, the `...Locked` part REQUIRES it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>

#include "support/thread_annotations.h"

// Debug builds (the checks trees among them) stop at once on a thread taking a lock it holds,
// which would otherwise hang.
#if !defined(NDEBUG) && !defined(USB_LOCK_OWNER_CHECK)
#define USB_LOCK_OWNER_CHECK 1
#endif

namespace USB {

// Reports a thread entering a lock it already holds, and ends the process.
[[noreturn]] void LockedTwice();

class CAPABILITY("mutex") Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void Lock() ACQUIRE()
    {
        CheckNotHeld();
        m_mutex.lock();
        Own();
    }
    void Unlock() RELEASE()
    {
        Disown();
        m_mutex.unlock();
    }
    bool TryLock() TRY_ACQUIRE(true)
    {
        CheckNotHeld();
        if (!m_mutex.try_lock())
            return false;
        Own();
        return true;
    }
    // For waits that must stay bounded (a stop): false when another thread kept the lock for
    // `ms`. Polled, since such waits are rare and short.
    bool TryLockFor(uint32_t ms) TRY_ACQUIRE(true)
    {
        CheckNotHeld();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!m_mutex.try_lock()) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        Own();
        return true;
    }

private:
#if USB_LOCK_OWNER_CHECK
    void CheckNotHeld() const
    {
        if (m_owner.load(std::memory_order_relaxed) == std::this_thread::get_id())
            LockedTwice();
    }
    void Own()
    {
        m_owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
    }
    void Disown()
    {
        m_owner.store(std::thread::id(), std::memory_order_relaxed);
    }
    std::atomic<std::thread::id> m_owner{};
#else
    void CheckNotHeld() const {}
    void Own() {}
    void Disown() {}
#endif
    std::mutex m_mutex;
};

class SCOPED_CAPABILITY LockGuard {
public:
    explicit LockGuard(Mutex& lock) ACQUIRE(lock) : m_lock(lock) { m_lock.Lock(); }
    ~LockGuard() RELEASE() { m_lock.Unlock(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    Mutex& m_lock;
};

// A guard that can leave the lock and take it again within its scope, and that a
// std::condition_variable_any waits with. Waits are written as loops over the condition, so that
// the condition is read where the analysis knows the lock is held.
class SCOPED_CAPABILITY UniqueLock {
public:
    explicit UniqueLock(Mutex& lock) ACQUIRE(lock) : m_lock(lock) { m_lock.Lock(); }
    ~UniqueLock() RELEASE()
    {
        if (m_held)
            m_lock.Unlock();
    }
    UniqueLock(const UniqueLock&) = delete;
    UniqueLock& operator=(const UniqueLock&) = delete;

    void Lock() ACQUIRE()
    {
        m_lock.Lock();
        m_held = true;
    }
    void Unlock() RELEASE()
    {
        m_held = false;
        m_lock.Unlock();
    }
    // BasicLockable, for the condition variable's waits.
    void lock() ACQUIRE() { Lock(); }
    void unlock() RELEASE() { Unlock(); }

private:
    Mutex& m_lock;
    bool m_held = true;
};

// Holds the lock when it could be had within `ms` (see TryLockFor); leaves it at the end. The
// analysis takes it as held after the guard (it cannot follow a conditional scope): code after
// one must not touch what the lock guards unless Locked().
class SCOPED_CAPABILITY TimedLockGuard {
public:
    TimedLockGuard(Mutex& lock, uint32_t ms) ACQUIRE(lock) : m_lock(lock), m_locked(Take(lock, ms)) {}
    ~TimedLockGuard() RELEASE()
    {
        if (m_locked)
            m_lock.Unlock();
    }
    TimedLockGuard(const TimedLockGuard&) = delete;
    TimedLockGuard& operator=(const TimedLockGuard&) = delete;
    bool Locked() const { return m_locked; }

private:
    // Outside the analysis: whether the lock is held is known only at run time.
    static bool Take(Mutex& lock, uint32_t ms) NO_THREAD_SAFETY_ANALYSIS { return lock.TryLockFor(ms); }

    Mutex& m_lock;
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
