// Keeps the cloud copy of the vendor whitelist current and tells the cloud client when the
// local copy is the latest.
#pragma once

#include <functional>
#include <string>
#include <utility>

#include "cloud/cloud_client.h"
#include "identification/whitelist.h"
#include "identification/not_phone_cache.h"
#include "support/config.h"
#include "support/usb_lock.h"

namespace USB {

class WhitelistUpdater {
public:
    // Runs work on a helper thread of the owner's.
    using ThreadStarter = std::function<void(std::function<void()>)>;

    // The list is swapped under serviceLock, so that no dispatch sees it change.
    WhitelistUpdater(WhiteList& whiteList, NotPhoneCache& notPhoneCache, CloudClient& cloud, Mutex& serviceLock,
                     const UsbConfig& config, ThreadStarter startThread)
        : m_whiteList(whiteList), m_notPhoneCache(notPhoneCache), m_cloud(cloud), m_serviceLock(serviceLock),
          m_config(config), m_startThread(std::move(startThread))
    {
    }
    WhitelistUpdater(const WhitelistUpdater&) = delete;
    WhitelistUpdater& operator=(const WhitelistUpdater&) = delete;

    // Marks the local copy as the latest when the cloud digest says so, else starts the update.
    void WhitelistCheckThread();
    // Downloads the cloud copy and swaps it in when it is the announced document.
    void WhitelistUpdateThread() EXCLUDES(m_serviceLock);
    // Compares the digests once and empties the negative cache.
    void WhitelistDigestStep();

private:
    std::string DigestUrl() const;
    std::string DocumentUrl() const;
    bool WhitelistIsLatest();

    WhiteList& m_whiteList;
    NotPhoneCache& m_notPhoneCache;
    CloudClient& m_cloud;
    Mutex& m_serviceLock;
    const UsbConfig& m_config;
    ThreadStarter m_startThread;
};

}  // namespace USB
