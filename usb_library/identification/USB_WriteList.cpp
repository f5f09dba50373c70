#include "identification/USB_WriteList.h"

// Placeholder whitelist: empty.
namespace USB {
WhiteList::~WhiteList() { Clear(); }
void WhiteList::LoadBuiltInVendors() {}
int WhiteList::LoadWhiteListFromFile() { return 0; }
int WhiteList::LoadWhiteListFromRegistry() { return 0; }
int WhiteList::Add(UsbDevice* entry)
{
    UsbMutex guard(m_lock);
    if (!entry || m_entries.count(entry->m_vidPid))
        return -1;
    m_entries.emplace(entry->m_vidPid, entry);
    return 0;
}
void WhiteList::Clear()
{
    UsbMutex guard(m_lock);
    for (auto& kv : m_entries)
        delete kv.second;
    m_entries.clear();
}
bool WhiteList::HasVendor(const std::string&) { return false; }
bool WhiteList::Query(const std::string&, PhoneSystemInfo&) { return false; }
}  // namespace USB
