// The vendor whitelist: built-in vendor ids, the registry value and the whitelist file.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "discovery/device_records.h"
#include "support/usb_lock.h"

namespace USB {

// A whitelist file larger than this is refused unread (real ones are a few kilobytes).
constexpr size_t kWhitelistFileCap = 4 * 1024 * 1024;

// One model as the file or the registry value lists it.
struct WhitelistEntry {
    std::string m_vid;
    std::string m_pid;
    std::string m_description;
    bool m_isAdbOpen = false;
};

class WhiteList {
public:
    WhiteList() = default;
    WhiteList(const WhiteList&) = delete;
    WhiteList& operator=(const WhiteList&) = delete;

    void LoadBuiltInVendors() EXCLUDES(m_lock);
    // False when the file cannot be read; an empty or malformed one is read (and holds nothing).
    bool LoadWhiteListFromFile() EXCLUDES(m_lock);
    // Both loads, unless the file has been loaded before; safe on any thread.
    void EnsureLoaded() EXCLUDES(m_lock);
    // False when the value is there but cannot be read.
    bool LoadWhiteListFromRegistry() EXCLUDES(m_lock);
    // False (the entry is dropped) for a known model.
    bool Add(const WhitelistEntry& entry) EXCLUDES(m_lock);
    void Clear() EXCLUDES(m_lock);
    bool HasVendor(const std::string& vid) EXCLUDES(m_lock);
    bool Query(const std::string& key, PhoneSystemInfo& info) EXCLUDES(m_lock);
    std::string FileDigest() EXCLUDES(m_lock);
    // The file the last load or digest read (the cloud copy when there is one).
    std::string Path() EXCLUDES(m_lock);

private:
    void LoadBuiltInVendorsLocked() REQUIRES(m_lock);
    bool LoadWhiteListFromFileLocked() REQUIRES(m_lock);
    bool AddLocked(const WhitelistEntry& entry) REQUIRES(m_lock);

    Mutex m_lock;
    std::string m_cloudPath GUARDED_BY(m_lock);
    std::vector<std::string> m_vendorIds GUARDED_BY(m_lock);
    std::map<std::string, WhitelistEntry> m_entries GUARDED_BY(m_lock);  // by "VID_xxxx&PID_yyyy"
    std::string m_path GUARDED_BY(m_lock);
    std::string m_digest GUARDED_BY(m_lock);
    bool m_loaded GUARDED_BY(m_lock) = false;  // the file has been read at least once
};

}  // namespace USB
