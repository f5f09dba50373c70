// Keeps the cloud copy of the vendor whitelist current and tells the cloud client when the
// local copy is the latest.
#include <cstdio>
#include <thread>
#include <vector>

#include "cloud/USB_Helper.h"
#include "service/USB_Service.h"
#include "support/Usb_MD5.h"
#include "support/json_utils.h"
#include "support/sys_utils.h"
#include "support/usb_log.h"

namespace USB {

namespace {

std::string DigestUrl(UsbService& service)
{
    return service.m_config.DriverHost() + "/download/device/device.md5";
}

std::string DocumentUrl(UsbService& service)
{
    return service.m_config.DriverHost() + "/download/device/device.json";
}

// An empty fetched digest (no network, failed fetch) never counts: it would otherwise equal
// the empty digest of a whitelist never read and switch the device query off.
bool SameDigest(const std::string& fetched, const std::string& local)
{
    return !fetched.empty() && fetched == local;
}

bool WhitelistIsLatest(UsbService& service)
{
    const std::string local = service.m_whiteList.FileDigest();
    return SameDigest(HttpGet(DigestUrl(service), kMaxDigestBytes), local);
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

std::string WhiteList::FileDigest()
{
    // The paths and the digest are shared with reloads on other threads.
    UsbMutex guard(m_lock);
    m_cloudPath = GetDataDirectory() + "cloudwhitelist.json";
    m_path = FileExists(m_cloudPath) ? m_cloudPath : GetExeDirectory() + "whitelist.json";
    std::string bytes;
    const FileRead read = ReadWholeFile(m_path, kWhitelistFileCap, false, bytes);
    if (read == FileRead::Missing || read == FileRead::Failed) {
        std::printf("cant open file %s\n", m_path.c_str());
        return m_digest;
    }
    if (read != FileRead::Ok || bytes.empty())
        return m_digest;
    m_digest = MD5::Of(bytes);
    return m_digest;
}

unsigned UsbService::WhitelistCheckThread(void* arg)
{
    if (!arg)
        return 0;
    UsbService* self = static_cast<UsbService*>(arg);
    if (WhitelistIsLatest(*self)) {
        USB_LOG("whitelist had already lastest\n");
        self->m_cloud.m_whitelistIsLatest = true;
        return 0;
    }
    if (IsNetworkAlive()) {
        self->StartHelperThread([self] { WhitelistUpdateThread(self); });
    }
    return 0;
}

unsigned UsbService::WhitelistUpdateThread(void* arg)
{
    if (!arg)
        return 0;
    UsbService* self = static_cast<UsbService*>(arg);
    USB_LOG("start update whitelist...\n");
    const std::string fetched = HttpGet(DigestUrl(*self), kMaxDigestBytes);
    WhiteList& list = self->m_whiteList;
    // The list's own path fields belong to reloads on other threads; this one is fixed.
    const std::string cloudPath = GetDataDirectory() + "cloudwhitelist.json";
    const std::string temp = cloudPath + ".tmp";
    if (!DownFile(NarrowToWide(DocumentUrl(*self)), temp))
        return 0;

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
        self->m_cloud.m_whitelistIsLatest = false;
        return 0;
    }

    UsbMutex guard(self->m_serviceLock);
    // The rename replaces the old copy in one step; when it fails, the old copy stays in use.
    if (!RenameFile(temp, cloudPath)) {
        USB_LOG("the downloaded whitelist cannot be moved into place, the current one stays\n");
        RemoveFile(temp);
        return 0;
    }
    {
        UsbMutex listGuard(list.m_lock);
        list.m_cloudPath = cloudPath;
        list.m_path = cloudPath;
    }
    list.LoadWhiteListFromFile();
    const std::string digest = list.FileDigest();
    if (SameDigest(fetched, digest)) {
        self->m_cloud.m_whitelistIsLatest = true;
        self->ClearVendorCache();
    } else {
        self->m_cloud.m_whitelistIsLatest = false;
    }
    return 0;
}

void UsbService::WhitelistDigestStep()
{
    if (WhitelistIsLatest(*this)) {
        USB_LOG("whitelist had already lastest\n");
        m_cloud.m_whitelistIsLatest = true;
    }
    ClearVendorCache();
}

}  // namespace USB
