// The library's lock (re-entrant, owned per thread) and its scoped guard.
#pragma once

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

private:
    std::recursive_mutex m_cs;
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

}  // namespace USB
