// Held files and named locks for the tests: a held file reads as it was when it was held; a lock
// another updater holds is never waited for, the attempt times out at once.
#pragma once

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "support/ports/guard_port.h"

namespace USB {
namespace Fake {

class Guard : public GuardPort {
    struct Held {
        std::string path, bytes;
        size_t at;
    };
    using Lock = std::lock_guard<std::mutex>;

public:
    Handle HoldFile(const std::string& path) override
    {
        std::ifstream in(path, std::ios::binary);
        if (!in)
            return nullptr;
        Lock g(m_mutex);
        return *m_files.insert(new Held{path, {std::istreambuf_iterator<char>(in), {}}, 0}).first;
    }
    bool ReadHeld(Handle h, char* buffer, uint32_t size, uint32_t& got) override
    {
        Held& held = *static_cast<Held*>(h);
        got = static_cast<uint32_t>(std::min<size_t>(size, held.bytes.size() - held.at));
        std::memcpy(buffer, held.bytes.data() + held.at, got);
        held.at += got;
        return true;
    }
    void ReleaseFile(Handle h) override
    {
        Lock g(m_mutex);
        m_files.erase(h);
        delete static_cast<Held*>(h);
    }
    Handle AcquireLock(const std::string& name, uint32_t timeoutMs) override
    {
        Lock g(m_mutex);
        lockWaits.push_back(timeoutMs);
        return m_locks.insert(name).second ? new std::string(name) : nullptr;
    }
    void ReleaseLock(Handle h) override
    {
        Lock g(m_mutex);
        m_locks.erase(*static_cast<std::string*>(h));
        delete static_cast<std::string*>(h);
    }

    size_t Open()  // files and locks not released yet
    {
        Lock g(m_mutex);
        return m_files.size() + m_locks.size();
    }

    std::vector<uint32_t> lockWaits;

private:
    std::mutex m_mutex;
    std::set<void*> m_files;
    std::set<std::string> m_locks;
};

}  // namespace Fake
}  // namespace USB
