#include "identification/whitelist_update.h"

#include "cloud/http_transport.h"
#include "support/md5.h"
#include "support/json_utils.h"
#include "support/sys_utils.h"
#include "support/usb_log.h"

namespace USB {

namespace {

// An empty fetched digest (no network, failed fetch) never counts: it would otherwise equal
// the empty digest of a whitelist never read and switch the device query off.
bool SameDigest(const std::string& fetched, const std::string& local)
{
    return !fetched.empty() && fetched == local;
}

// A whitelist document: an object whose "data" is an array of entry objects.
bool IsWhitelistDocument(const std::string& text)
{
    Json::Value root;
    if (!ParseJson(text, root) || !root.isObject() || !root["data"].isArray())
        return false;
    for (const Json::Value& entry : root["data"])
        if (!entry.isObject())
            return false;
    return true;
}

}  // namespace

std::string WhitelistUpdater::DigestUrl() const
{
    return m_config.DriverHost() + "/download/device/device.md5";
}

std::string WhitelistUpdater::DocumentUrl() const
{
    return m_config.DriverHost() + "/download/device/device.json";
}

bool WhitelistUpdater::WhitelistIsLatest()
{
    const std::string local = m_whiteList.FileDigest();
    return SameDigest(HttpGet(DigestUrl(), kMaxDigestBytes), local);
}

void WhitelistUpdater::WhitelistCheckThread()
{
    if (WhitelistIsLatest()) {
        USB_LOG("whitelist had already lastest\n");
        m_cloud.m_whitelistIsLatest = true;
        return;
    }
    if (IsNetworkAlive()) {
        m_startThread([this] { WhitelistUpdateThread(); });
    }
}

void WhitelistUpdater::WhitelistUpdateThread()
{
    USB_LOG("start update whitelist...\n");
    const std::string fetched = HttpGet(DigestUrl(), kMaxDigestBytes);
    WhiteList& list = m_whiteList;
    // The list's own path fields belong to reloads on other threads; this one is fixed.
    const std::string cloudPath = GetDataDirectory() + "cloudwhitelist.json";
    const std::string temp = cloudPath + ".tmp";
    if (!DownFile(NarrowToWide(DocumentUrl()), temp))
        return;

    // Only a whole, announced document replaces the list in use, judged by the bytes on disk.
    std::string bytes;
    const char* refusal = nullptr;
    if (ReadWholeFile(temp, kMaxWhitelistBytes, false, bytes) != FileRead::Ok)
        refusal = "the downloaded whitelist cannot be read, the current one stays\n";
    else if (!SameDigest(fetched, MD5::Of(bytes)))
        refusal = "the downloaded whitelist does not match the cloud digest, the current one stays\n";
    else if (!IsWhitelistDocument(bytes))
        refusal = "the downloaded whitelist is not a whitelist document, the current one stays\n";
    if (refusal) {
        USB_LOG("%s", refusal);
        RemoveFile(temp);
        m_cloud.m_whitelistIsLatest = false;
        return;
    }

    LockGuard guard(m_serviceLock);
    // The rename replaces the old copy in one step; when it fails, the old copy stays in use.
    if (!RenameFile(temp, cloudPath)) {
        USB_LOG("the downloaded whitelist cannot be moved into place, the current one stays\n");
        RemoveFile(temp);
        return;
    }
    {
        LockGuard listGuard(list.m_lock);
        list.m_cloudPath = cloudPath;
        list.m_path = cloudPath;
    }
    list.LoadWhiteListFromFile();
    const std::string digest = list.FileDigest();
    if (SameDigest(fetched, digest)) {
        m_cloud.m_whitelistIsLatest = true;
        m_notPhoneCache.Clear();
    } else {
        m_cloud.m_whitelistIsLatest = false;
    }
}

void WhitelistUpdater::WhitelistDigestStep()
{
    if (WhitelistIsLatest()) {
        USB_LOG("whitelist had already lastest\n");
        m_cloud.m_whitelistIsLatest = true;
    }
    m_notPhoneCache.Clear();
}

}  // namespace USB
