// Keeps the cloud copy of the vendor whitelist current and tells the cloud client when the
// local copy is the latest.
#include <cstdio>
#include <thread>
#include <vector>

#include "cloud/USB_Helper.h"
#include "service/USB_Service.h"
#include "service/usb_log.h"
#include "support/Usb_MD5.h"
#include "support/sys_utils.h"

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
    return SameDigest(HttpGet(DigestUrl(service)), local);
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
    const std::string fetched = HttpGet(DigestUrl(*self));
    WhiteList& list = self->m_whiteList;
    // The list's own path fields belong to reloads on other threads; this one is fixed.
    const std::string cloudPath = GetDataDirectory() + "cloudwhitelist.json";
    const std::string temp = cloudPath + ".tmp";
    if (!DownFile(NarrowToWide(DocumentUrl(*self)), temp))
        return 0;

    UsbMutex guard(self->m_serviceLock);
    {
        UsbMutex listGuard(list.m_lock);
        list.m_cloudPath = cloudPath;
        list.m_path = cloudPath;
    }
    RemoveFile(cloudPath);
    RenameFile(temp, cloudPath);
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
