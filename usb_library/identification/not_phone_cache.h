// The negative cache of the phone decision: models already found not to be phones.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "support/usb_lock.h"

namespace USB {

class NotPhoneCache {
public:
    bool Has(const std::string& key) EXCLUDES(m_lock)
    {
        LockGuard guard(m_lock);
        return std::find(m_keys.begin(), m_keys.end(), key) != m_keys.end();
    }
    void Add(const std::string& key) EXCLUDES(m_lock)
    {
        LockGuard guard(m_lock);
        if (std::find(m_keys.begin(), m_keys.end(), key) == m_keys.end())
            m_keys.push_back(key);
    }
    void Clear() EXCLUDES(m_lock)
    {
        LockGuard guard(m_lock);
        m_keys.clear();
    }

private:
    Mutex m_lock;
    std::vector<std::string> m_keys GUARDED_BY(m_lock);  // "VID_xxxx&PID_yyyy"
};

}  // namespace USB
