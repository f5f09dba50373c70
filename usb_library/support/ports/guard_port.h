// What only Windows can hold for the core: a file nobody may change while it is held, and a lock
// by name that every process of the session sees.
#pragma once

#include <cstdint>
#include <string>

namespace USB {

class GuardPort {
public:
    using Handle = void*;

    virtual ~GuardPort() = default;

    // The file at path (UTF-8) opened for reading and shared with readers only: until it is
    // released nobody opens it for writing, renames or deletes it, while programs may still read
    // and run it. Null when it cannot be held so (missing, or already open for writing).
    virtual Handle HoldFile(const std::string& path) = 0;
    // Up to size bytes from where the last read ended; got is 0 at the end. False on a read error.
    virtual bool ReadHeld(Handle file, char* buffer, uint32_t size, uint32_t& got) = 0;
    virtual void ReleaseFile(Handle file) = 0;

    // The lock of this name (UTF-8), waited for up to timeoutMs; null when another holder keeps
    // it that long or it cannot be made. A holder that ended without releasing it leaves it free.
    // Released on the thread that took it.
    virtual Handle AcquireLock(const std::string& name, uint32_t timeoutMs) = 0;
    virtual void ReleaseLock(Handle lock) = 0;
};

}  // namespace USB
