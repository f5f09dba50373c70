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

    void LoadBuiltInVendors();
    // False when the file cannot be read; an empty or malformed one is read (and holds nothing).
    bool LoadWhiteListFromFile();
    // Both loads, unless the file has been loaded before; safe on any thread.
    void EnsureLoaded();
    // False when the value is there but cannot be read.
    bool LoadWhiteListFromRegistry();
    // False (the entry is dropped) for a known model.
    bool Add(const WhitelistEntry& entry);
    void Clear();
    bool HasVendor(const std::string& vid);
    bool Query(const std::string& key, PhoneSystemInfo& info);
    std::string FileDigest();
    // The file the last load or digest read (the cloud copy when there is one).
    std::string Path();

private:
    std::string m_cloudPath;
    std::vector<std::string> m_vendorIds;
    std::map<std::string, WhitelistEntry> m_entries;  // by "VID_xxxx&PID_yyyy"
    UsbCLock m_lock;
    std::string m_path;
    std::string m_digest;
    bool m_loaded = false;  // the file has been read at least once (under m_lock)
};

}  // namespace USB
