#include "identification/whitelist.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "support/md5.h"
#include "support/json_utils.h"
#include "support/ports/ports.h"
#include "support/ports/registry_port.h"
#include "support/sys_utils.h"
#include "support/usb_log.h"

namespace USB {

namespace {

const char* const kBuiltInVendors[] = {
    "2006", "03F0", "040D", "0451", "0471", "047C", "0489", "04CC", "04DD", "04E8", "0502", "0533",
    "0534", "05C6", "0955", "0967", "09D9", "0A51", "0A5C", "0B05", "0BB4", "0C44", "0E8D", "0FCE",
    "1004", "109B", "109C", "12D1", "15A2", "1782", "17EF", "183D", "18D1", "19D2", "1C9E", "1D91",
    "1E0E", "1EBF", "201E", "2047", "22B8", "22D9", "24E3", "2717", "413C", "8086", "8087", "9BB5",
    "267A", "0456", "0525", "1286", "054C", "0B57", "15EB", "230B", "10A9", "1949",
};

// An entry as the file and the registry value write it; missing members read as "".
WhitelistEntry MakeEntry(const Json::Value& element)
{
    WhitelistEntry entry;
    entry.m_vid = MemberText(element, "vid");
    entry.m_pid = MemberText(element, "pid");
    entry.m_description = MemberText(element, "description");
    entry.m_isAdbOpen = MemberText(element, "isadbopen") == "yes";
    return entry;
}

// The whole file as text; false when it cannot be read or is larger than any real whitelist.
bool ReadTextFile(const std::string& path, std::string& out)
{
    const FileRead result = ReadWholeFile(path, kWhitelistFileCap, true, out);
    if (result == FileRead::TooLarge)
        USB_LOG("whitelist file %s is larger than %u bytes, not read\n", path.c_str(),
                static_cast<unsigned>(kWhitelistFileCap));
    return result == FileRead::Ok;
}

// The registry value's entries, read outside any lock; false when the value is there but
// cannot be read.
bool ReadRegistryEntries(std::vector<WhitelistEntry>& entries)
{
    std::string value;
    const RegistryValue read = GetPorts().registry->ReadWhiteListValue(value);
    if (read == RegistryValue::NoKey)
        return true;
    if (read != RegistryValue::Read) {
        USB_LOG("LoadWhiteListFromFile read register faild\n");
        return false;
    }
    // The value is read into a fixed buffer: never more than its 10240 bytes.
    if (value.size() > 10240)
        value.resize(10240);
    Json::Value root;
    if (!ParseJson(value, root) || !root.isArray())
        return true;
    for (const Json::Value& element : root) {
        if (!element.isObject())
            continue;
        entries.push_back(MakeEntry(element));
    }
    return true;
}

}  // namespace

void WhiteList::LoadBuiltInVendors()
{
    LockGuard guard(m_lock);
    LoadBuiltInVendorsLocked();
}

void WhiteList::LoadBuiltInVendorsLocked()
{
    if (!m_vendorIds.empty())
        return;
    for (const char* vid : kBuiltInVendors)
        m_vendorIds.push_back(vid);
}

bool WhiteList::LoadWhiteListFromFile()
{
    // The whole reload is one step for readers: nobody sees the list half rebuilt.
    LockGuard guard(m_lock);
    return LoadWhiteListFromFileLocked();
}

bool WhiteList::LoadWhiteListFromFileLocked()
{
    m_loaded = true;
    m_entries.clear();
    std::vector<WhitelistEntry> fromRegistry;
    ReadRegistryEntries(fromRegistry);
    for (const WhitelistEntry& entry : fromRegistry)
        AddLocked(entry);

    m_cloudPath = GetDataDirectory() + "cloudwhitelist.json";
    m_path = FileExists(m_cloudPath) ? m_cloudPath : GetExeDirectory() + "whitelist.json";

    std::string text;
    if (!ReadTextFile(m_path, text)) {
        DebugLine("cant open file " + m_path + "\n");
        return false;
    }
    Json::Value root;
    if (text.empty() || !ParseJson(text, root) || !root.isObject())
        return true;
    const Json::Value& data = root["data"];
    if (!data.isArray())
        return true;
    for (const Json::Value& element : data) {
        if (!element.isObject())
            continue;
        const WhitelistEntry entry = MakeEntry(element);
        if (!entry.m_vid.empty() && std::find(m_vendorIds.begin(), m_vendorIds.end(), entry.m_vid) == m_vendorIds.end())
            m_vendorIds.push_back(entry.m_vid);
        AddLocked(entry);
    }
    return true;
}

void WhiteList::EnsureLoaded()
{
    LockGuard guard(m_lock);
    if (m_loaded)
        return;
    LoadBuiltInVendorsLocked();
    LoadWhiteListFromFileLocked();
}

bool WhiteList::LoadWhiteListFromRegistry()
{
    std::vector<WhitelistEntry> entries;
    const bool read = ReadRegistryEntries(entries);
    LockGuard guard(m_lock);
    for (const WhitelistEntry& entry : entries)
        AddLocked(entry);
    return read;
}

bool WhiteList::Add(const WhitelistEntry& entry)
{
    LockGuard guard(m_lock);
    return AddLocked(entry);
}

bool WhiteList::AddLocked(const WhitelistEntry& entry)
{
    return m_entries.emplace("VID_" + entry.m_vid + "&PID_" + entry.m_pid, entry).second;
}

void WhiteList::Clear()
{
    LockGuard guard(m_lock);
    m_entries.clear();
}

bool WhiteList::HasVendor(const std::string& vid)
{
    LockGuard guard(m_lock);
    return std::find(m_vendorIds.begin(), m_vendorIds.end(), vid) != m_vendorIds.end();
}

bool WhiteList::Query(const std::string& key, PhoneSystemInfo& info)
{
    // Under the lock: a reload on another thread deletes the entries.
    LockGuard guard(m_lock);
    auto it = m_entries.find(key);
    if (it == m_entries.end())
        return false;
    info.m_isAdbOpen = it->second.m_isAdbOpen;
    info.m_description = it->second.m_description;
    return true;
}

std::string WhiteList::Path()
{
    LockGuard guard(m_lock);
    return m_path;
}

std::string WhiteList::FileDigest()
{
    // The paths and the digest are shared with reloads on other threads.
    LockGuard guard(m_lock);
    m_cloudPath = GetDataDirectory() + "cloudwhitelist.json";
    m_path = FileExists(m_cloudPath) ? m_cloudPath : GetExeDirectory() + "whitelist.json";
    std::string bytes;
    const FileRead read = ReadWholeFile(m_path, kWhitelistFileCap, false, bytes);
    if (read == FileRead::Missing || read == FileRead::Failed) {
        DebugLine("cant open file " + m_path + "\n");
        return m_digest;
    }
    if (read != FileRead::Ok || bytes.empty())
        return m_digest;
    m_digest = MD5::Of(bytes);
    return m_digest;
}

}  // namespace USB
