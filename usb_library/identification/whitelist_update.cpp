#include "identification/whitelist_update.h"

#include <atomic>

#include "cloud/http_transport.h"
#include "support/md5.h"
#include "support/ports/guard_port.h"
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

constexpr const char* kCloudCopyName = "cloudwhitelist.json";
// Another update holds the lock for its download (at most a minute) and its swap.
constexpr uint32_t kUpdateLockWaitMs = 2 * 60 * 1000;

// The update lock of one data folder, shared by every process that uses the folder.
class UpdateLock {
public:
    explicit UpdateLock(const std::string& folder)
        : m_port(*GetPorts().guard),
          m_lock(m_port.AcquireLock("Local\\usbhelper-whitelist-" + MD5::Of(ToLowerAscii(folder)), kUpdateLockWaitMs))
    {
    }
    ~UpdateLock()
    {
        if (m_lock)
            m_port.ReleaseLock(m_lock);
    }
    UpdateLock(const UpdateLock&) = delete;
    UpdateLock& operator=(const UpdateLock&) = delete;
    bool Held() const { return m_lock != nullptr; }

private:
    GuardPort& m_port;
    GuardPort::Handle m_lock;
};

// A download file of this update's own: the process and its count of updates name it.
std::string UniqueTempPath(const std::string& cloudPath)
{
    static std::atomic<unsigned> updates{0};
    return cloudPath + "." + std::to_string(GetPorts().system->ProcessId()) + "-" + std::to_string(++updates) + ".tmp";
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
        m_cloud.SetWhitelistIsLatest(true);
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
    const std::string folder = GetDataDirectory();
    const std::string cloudPath = folder + kCloudCopyName;
    // One update at a time per data folder, whichever process runs it: none renames a file
    // another is still writing or judging.
    const UpdateLock lock(folder);
    if (!lock.Held()) {
        USB_LOG("another update of the whitelist did not end in time, the current one stays\n");
        m_cloud.SetWhitelistIsLatest(false);
        return;
    }
    // Left by an update that ended with its process; no other update runs now.
    RemoveFilesNamed(folder, std::string(kCloudCopyName) + ".", ".tmp");
    const std::string temp = UniqueTempPath(cloudPath);
    if (!DownFile(DocumentUrl(), temp)) {
        USB_LOG("the whitelist download failed, the current one stays\n");
        m_cloud.SetWhitelistIsLatest(false);
        return;
    }

    // Only a whole, announced document replaces the list in use, judged by the bytes of this
    // update's own file, which no other update writes or renames.
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
        m_cloud.SetWhitelistIsLatest(false);
        return;
    }

    LockGuard guard(m_serviceLock);
    // The rename replaces the old copy in one step; when it fails, the old copy stays in use.
    if (!RenameFile(temp, cloudPath)) {
        USB_LOG("the downloaded whitelist cannot be moved into place, the current one stays\n");
        RemoveFile(temp);
        return;
    }
    list.LoadWhiteListFromFile();
    const std::string digest = list.FileDigest();
    if (SameDigest(fetched, digest)) {
        m_cloud.SetWhitelistIsLatest(true);
        m_notPhoneCache.Clear();
    } else {
        m_cloud.SetWhitelistIsLatest(false);
    }
}

void WhitelistUpdater::WhitelistDigestStep()
{
    if (WhitelistIsLatest()) {
        USB_LOG("whitelist had already lastest\n");
        m_cloud.SetWhitelistIsLatest(true);
    }
    m_notPhoneCache.Clear();
}

}  // namespace USB
