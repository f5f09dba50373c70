#include "cloud/cloud_client.h"

#include <cctype>

#include "support/md5.h"
#include "support/file_io.h"
#include "support/json_utils.h"
#include "support/sys_utils.h"
#include "support/usb_log.h"

namespace USB {

namespace {

constexpr uint32_t kReportTimeoutMs = 5000;
constexpr uint32_t kDeviceTimeoutMs = 5000;
constexpr uint32_t kDriverTimeoutMs = 2000;

enum class Endpoint { Device, Driver, DriverReport, InstallErrorReport };

// Parses an answer into its root; false unless it is an object of exactly two members.
bool ParseAnswer(const std::string& body, Json::Value& root, bool logSize)
{
    if (!ParseJson(ProtectUnicodeEscapes(body), root))
        return false;
    if (!root.isObject() || root.size() != 2) {
        if (logSize)
            USB_LOG("size error\n");
        return false;
    }
    return true;
}

// The error table: logs the code's message and gives the call's result.
bool HandleErrorCode(Endpoint endpoint, const Json::Value& data, DriverOffer* offer)
{
    if (!data.isObject() || !data.isMember("errorCode") || !data["errorCode"].isInt())
        return false;
    const int code = data["errorCode"].asInt();
    switch (code) {
    case 20201:
    case 20202:
        if (endpoint != Endpoint::Driver)
            return false;
        USB_LOG(code == 20201 ? "driver no exist, errorcode is 20201\n" : "driver query fail, errorcode is 20202\n");
        if (offer) {
            offer->m_generalUrl = MemberText(data, "generalDriveURL");
            offer->m_generalMd5 = MemberText(data, "generalDriveMD5");
            offer->m_vendorUrl = MemberText(data, "vidDriveURL");
            offer->m_vendorMd5 = MemberText(data, "vidDriveMD5");
        }
        return true;
    case 20203:
        if (endpoint == Endpoint::DriverReport)
            USB_LOG("driver has exist, errorcode is 20203\n");
        return false;
    case 20204:
        if (endpoint == Endpoint::DriverReport)
            USB_LOG("report fail, errorcode is 20204\n");
        return false;
    case 20205:
        if (endpoint == Endpoint::Device)
            USB_LOG("device no exist, errorcode is 20205\n");
        return false;
    case 20206:
        if (endpoint == Endpoint::Device)
            USB_LOG("query fail, errorcode is 20206\n");
        return false;
    case 20207:
        if (endpoint == Endpoint::InstallErrorReport)
            USB_LOG("report driver fail\n");
        return false;
    default:
        return false;
    }
}

bool NetworkCheck()
{
    if (IsNetworkAlive())
        return true;
    USB_LOG("network disconneted\n");
    return false;
}

bool Report(Endpoint endpoint, const std::string& url)
{
    if (!NetworkCheck())
        return false;
    std::string body;
    std::string headers;
    if (!HttpRequest("POST", url, std::string(), kReportTimeoutMs, body, headers))
        return false;
    Json::Value root;
    if (!ParseAnswer(body, root, false))
        return false;
    if (!root.isMember("result") || !root["result"].isInt())
        return false;
    if (root["result"].asInt() == 0)
        return true;
    return HandleErrorCode(endpoint, root["data"], nullptr);
}

// The digest of a package file as it lies on disk; "" when it cannot be read whole.
std::string PackageDigest(const std::string& path)
{
    MD5 digest;
    if (!ReadFileInPieces(path, kMaxPackageBytes,
                          [&digest](const char* data, size_t size) { digest.Update(data, size); }))
        return std::string();
    return digest.HexDigest();
}

int ResultOf(const Json::Value& root)
{
    if (!root.isMember("result") || !root["result"].isInt())
        return -1;
    return root["result"].asInt();
}

}  // namespace

std::string ProtectUnicodeEscapes(const std::string& body)
{
    // One pass into a new text: inserting in place would cost time quadratic in the escapes.
    std::string out;
    out.reserve(body.size() + body.size() / 8);
    for (size_t i = 0; i < body.size(); ++i) {
        if (body[i] == '\\' && i + 1 < body.size() && body[i + 1] == 'u')
            out += '\\';
        out += body[i];
    }
    return out;
}

bool IsHexId(const std::string& id)
{
    if (id.size() != 4)
        return false;
    for (char c : id)
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

bool AcceptIds(const std::string& vid, const std::string& pid)
{
    if (IsHexId(vid) && IsHexId(pid))
        return true;
    // The ids may come from any local process: they are not echoed.
    USB_LOG("a vendor or product id that is not four hex digits is refused\n");
    return false;
}

CloudClient::CloudClient(std::string baseUrl)
    : m_baseUrl(std::move(baseUrl)), m_key("t4#Wq9!zeL2$rn7^Kp&8vB*x3@jM6%oY1-sd")
{
}

std::string CloudClient::MakeToken(const std::string& vid, const std::string& pid) const
{
    return MD5::Of(vid + "+" + pid + "+" + m_key);
}

bool CloudClient::QueryDevice(PhoneSystemInfo& info, const std::string& vid, const std::string& pid)
{
    if (m_whitelistIsLatest) {
        USB_LOG("the local whitelist is the same as the cloud list\n");
        return false;
    }
    if (!AcceptIds(vid, pid))
        return false;
    std::string url = m_baseUrl + "/api/v1/drive/device/?vid=" + vid + "&pid=" + pid;
    USB_LOG("url is %s\n", url.c_str());
    url += "&tk=" + MakeToken(vid, pid);
    if (!NetworkCheck())
        return false;
    std::string body;
    std::string headers;
    if (!HttpRequest("GET", url, std::string(), kDeviceTimeoutMs, body, headers))
        return false;
    Json::Value root;
    if (!ParseAnswer(body, root, false))
        return false;
    const Json::Value& data = root["data"];
    if (ResultOf(root) != 0)
        return HandleErrorCode(Endpoint::Device, data, nullptr);
    if (!data.isNull() && !data.isObject())
        return false;
    USB_LOG("_body %s\n", WriteJson(root).c_str());
    const std::string isAdbOpen = MemberText(data, "isadbopen");
    USB_LOG("isadbopen is %s\n", isAdbOpen.c_str());
    info.m_isAdbOpen = isAdbOpen == "yes";
    info.m_description = MemberText(data, "description");
    return true;
}

std::optional<DriverOffer> CloudClient::QueryDriver(const std::string& vid, const std::string& pid)
{
    if (!AcceptIds(vid, pid))
        return std::nullopt;
    std::string url = m_baseUrl + "/api/v1/drive/query/?vid=" + vid + "&pid=" + pid + "&os=" + GetOsName() +
                      "&platform=" + GetPlatformName();
    USB_LOG("url is %s\n", url.c_str());
    url += "&tk=" + MakeToken(vid, pid);
    if (!NetworkCheck())
        return std::nullopt;
    std::string body;
    std::string headers;
    if (!HttpRequest("GET", url, std::string(), kDriverTimeoutMs, body, headers)) {
        USB_LOG("HttpSend fail...\n");
        return std::nullopt;
    }
    USB_LOG("html %s\n", body.c_str());
    USB_LOG("strHeader %s\n", headers.c_str());
    Json::Value root;
    if (!ParseAnswer(body, root, true))
        return std::nullopt;
    const Json::Value& data = root["data"];
    DriverOffer offer;
    if (ResultOf(root) != 0) {
        if (!HandleErrorCode(Endpoint::Driver, data, &offer))
            return std::nullopt;
        return offer;
    }
    if (!data.isNull() && !data.isObject())
        return std::nullopt;
    offer.m_deviceUrl = MemberText(data, "deviceurl");
    offer.m_deviceMd5 = MemberText(data, "filemd5");
    offer.m_generalUrl = MemberText(data, "generalDriveURL");
    offer.m_generalMd5 = MemberText(data, "generalDriveMD5");
    return offer;
}

bool CloudClient::ReportDriver(const std::string& vid, const std::string& pid)
{
    if (!AcceptIds(vid, pid))
        return false;
    return Report(Endpoint::DriverReport, m_baseUrl + "/api/v1/drive/report/?vid=" + vid + "&pid=" + pid +
                                              "&os=" + GetOsName() + "&platform=" + GetPlatformName());
}

bool CloudClient::ReportInstallError(const std::string& vid, const std::string& pid)
{
    if (!AcceptIds(vid, pid))
        return false;
    return Report(Endpoint::InstallErrorReport, m_baseUrl + "/api/v1/drive/installerror/?vid=" + vid + "&pid=" + pid +
                                                    "&os=" + GetOsName() + "&platform=" + GetPlatformName());
}

bool CloudClient::DownloadDriver(const std::string& url, const std::string& path, const std::string& md5,
                                 DownloadProgressFn progress, void* context)
{
    // A package already on disk runs only when it is the one the cloud announced.
    if (FileExists(path)) {
        if (!md5.empty() && PackageDigest(path) == md5) {
            USB_LOG("this driver had downloaded\n");
            return true;
        }
        USB_LOG("the driver package %s is not the announced one, it is downloaded again\n", path.c_str());
        RemoveFile(path);
    }
    if (!IsNetworkAlive()) {
        USB_LOG("network disconneted\n");
        return false;
    }
    const std::string temp = path + ".tmp";
    if (!DownFileVerified(url, temp, md5.c_str(), progress, context))
        return false;
    if (!RenameFile(temp, path)) {
        USB_LOG("the driver package could not be moved to %s\n", path.c_str());
        RemoveFile(temp);
        return false;
    }
    // What runs is what lies on disk: digest it once more there.
    if (PackageDigest(path) != md5) {
        USB_LOG("the driver package %s on disk is not the announced one\n", path.c_str());
        RemoveFile(path);
        return false;
    }
    return true;
}

}  // namespace USB
