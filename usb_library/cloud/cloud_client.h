// Client of the cloud service that knows phones and their ADB drivers.
#pragma once

#include <atomic>
#include <optional>
#include <string>

#include "cloud/http_transport.h"
#include "discovery/device_records.h"

namespace USB {

// The driver packages the cloud offers for a model, each with its digest: the model's own, its
// vendor's and the general one ("" where none is offered).
struct DriverOffer {
    std::string m_deviceUrl;
    std::string m_deviceMd5;
    std::string m_vendorUrl;
    std::string m_vendorMd5;
    std::string m_generalUrl;
    std::string m_generalMd5;
};

class CloudClient {
public:
    // baseUrl: scheme, host and port of the cloud service, without a closing slash.
    explicit CloudClient(std::string baseUrl);

    bool QueryDevice(PhoneSystemInfo& info, const std::string& vid, const std::string& pid);
    // What the cloud offers for the model; nothing when it cannot be asked or says no.
    std::optional<DriverOffer> QueryDriver(const std::string& vid, const std::string& pid);
    bool ReportDriver(const std::string& vid, const std::string& pid);
    bool ReportInstallError(const std::string& vid, const std::string& pid);
    std::string MakeToken(const std::string& vid, const std::string& pid) const;

    // Driver packages: true when the announced package lies at path (downloaded now or before).
    bool DownloadDriver(const std::string& url, const std::string& path, const std::string& md5,
                        DownloadProgressFn progress, void* context);

    // The local whitelist is the cloud's latest: the device query then asks nothing.
    void SetWhitelistIsLatest(bool latest) { m_whitelistIsLatest = latest; }
    bool WhitelistIsLatest() const { return m_whitelistIsLatest; }

private:
    const std::string m_baseUrl;
    const std::string m_key;
    std::atomic<bool> m_whitelistIsLatest{false};  // written by the whitelist threads
};

// Puts a backslash before every "\u" so JSON escapes reach the caller as literal text.
std::string ProtectUnicodeEscapes(const std::string& body);
// A vendor or product id as URLs, command lines and logs may carry it: four hex digits.
bool IsHexId(const std::string& id);
// Both ids are four hex digits; otherwise logs the refusal (without the ids) and says false.
bool AcceptIds(const std::string& vid, const std::string& pid);

}  // namespace USB
