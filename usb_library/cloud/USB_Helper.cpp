#include "cloud/USB_Helper.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cloud/http_port.h"
#include "service/usb_log.h"
#include "support/Usb_MD5.h"
#include "support/ports.h"
#include "support/sys_utils.h"

namespace USB {

namespace {

constexpr uint32_t kRequestChunk = 1024;
constexpr uint32_t kHeaderBuffer = 1024;
constexpr uint32_t kDownloadBuffer = 10240;
constexpr uint32_t kDownloadChunk = kDownloadBuffer - 1;
constexpr uint32_t kHostBuffer = 2084;
constexpr uint32_t kPathBuffer = 1024;
constexpr uint32_t kGetTimeoutMs = 5000;

// Closes every handle it was given, innermost first, whatever path the call takes.
class HandleSet {
public:
    explicit HandleSet(HttpPort& port) : m_port(port) {}
    ~HandleSet()
    {
        for (auto it = m_handles.rbegin(); it != m_handles.rend(); ++it)
            m_port.Close(*it);
    }
    HttpPort::Handle Keep(HttpPort::Handle h)
    {
        if (h)
            m_handles.push_back(h);
        return h;
    }

private:
    HttpPort& m_port;
    std::vector<HttpPort::Handle> m_handles;
};


bool StartsWithGet(const std::string& method)
{
    if (method.size() < 3)
        return false;
    return ToUpperAscii(method.substr(0, 3)) == "GET";
}

bool ReadRawHeaders(HttpPort& port, HttpPort::Handle request, std::string& out)
{
    char buffer[kHeaderBuffer];
    std::memset(buffer, 0, sizeof(buffer));
    uint32_t size = kHeaderBuffer;
    if (!port.QueryRawHeaders(request, buffer, size))
        return false;
    if (size > kHeaderBuffer)
        size = kHeaderBuffer;
    out.assign(buffer, size);
    return true;
}

// The shared body of both downloads; md5 and progress only for the verified one.
bool Download(const std::wstring& url, const std::string& path, bool verify, const char* md5,
              DownloadProgressFn progress, void* context)
{
    HttpPort* port = GetPorts().http;
    if (!port)
        return false;
    HandleSet handles(*port);
    HttpPort::Handle session = handles.Keep(port->OpenW(kDownloadAgent));
    if (!session)
        return false;
    HttpPort::Handle request = handles.Keep(port->OpenUrl(session, url));
    if (!request)
        return false;

    std::string headers;
    if (!ReadRawHeaders(*port, request, headers))
        return false;
    if (headers.find("200 OK") == std::string::npos) {
        USB_LOG("download %s status is %s\n", WideToNarrow(url).c_str(), headers.c_str());
        return false;
    }

    char lengthText[kHeaderBuffer];
    std::memset(lengthText, 0, sizeof(lengthText));
    uint32_t lengthSize = kHeaderBuffer;
    if (!port->QueryContentLength(request, lengthText, lengthSize))
        return false;
    lengthText[kHeaderBuffer - 1] = 0;
    const uint64_t announced = std::strtoull(lengthText, nullptr, 10);

    FileWriter file(path);
    if (!file.IsOpen())
        return false;

    std::vector<char> buffer(kDownloadBuffer, 0);
    MD5 digest;
    uint64_t received = 0;
    int32_t lastPercent = 0;
    for (;;) {
        uint32_t got = 0;
        if (!port->Read(request, buffer.data(), kDownloadChunk, got))
            got = 0;
        if (got == 0)
            break;
        if (got > kDownloadChunk)
            got = kDownloadChunk;
        if (!file.Write(buffer.data(), got)) {
            USB_LOG("write to %s failed\n", path.c_str());
            return false;
        }
        received += got;
        if (!verify)
            continue;
        digest.Update(buffer.data(), got);
        if (progress && announced > 0) {
            const int32_t percent = ProgressPercent(received, announced);
            if (percent > 0 && percent != lastPercent) {
                if (progress(percent, context) == -1)
                    return false;
                lastPercent = percent;
            }
        }
    }
    if (!file.Close()) {
        USB_LOG("closing %s failed\n", path.c_str());
        return false;
    }
    if (verify) {
        digest.Finalize();
        const std::string mine = digest.HexDigest();
        if (md5 && mine != md5) {
            USB_LOG("MD5 is different\n");
            USB_LOG("my md5 is %s\n", mine.c_str());
            USB_LOG("server md5 is %s\n", md5);
            return false;
        }
    }
    return received == announced;
}

}  // namespace

int32_t ProgressPercent(uint64_t received, uint64_t total)
{
    if (total == 0)
        return 0;
    // Whole part, then the fraction by repeated addition modulo total: no product can overflow.
    const uint64_t whole = received / total;
    const uint64_t rest = received % total;
    uint64_t acc = 0;
    uint64_t tenths = 0;
    for (int i = 0; i < 100; ++i) {
        if (acc >= total - rest) {
            acc -= total - rest;
            ++tenths;
        } else {
            acc += rest;
        }
    }
    const uint64_t percent = whole * 100 + tenths;
    return percent > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int32_t>(percent);
}

bool IsNetworkAlive()
{
    SystemPort* system = GetPorts().system;
    return system && system->NetworkAlive();
}

bool HttpRequest(const std::string& method, const std::string& urlIn, const std::string& dataIn, uint32_t timeoutMs,
                 std::string& body, std::string& headers)
{
    body.clear();
    headers.clear();
    std::string url = urlIn;
    std::string data = dataIn;
    if (StartsWithGet(method)) {
        url += data;
        data.clear();
    }
    HttpPort* port = GetPorts().http;
    if (!port)
        return false;

    std::string host;
    std::string path;
    uint16_t portNumber = 0;
    port->CrackUrl(url, host, portNumber, path);
    if (host.size() >= kHostBuffer)
        host.resize(kHostBuffer - 1);
    if (path.size() >= kPathBuffer)
        path.resize(kPathBuffer - 1);

    HandleSet handles(*port);
    HttpPort::Handle session = handles.Keep(port->Open(kRequestAgent));
    if (!session)
        return false;
    HttpPort::Handle connection = handles.Keep(port->Connect(session, host, portNumber));
    if (!connection)
        return false;
    if (!port->AttemptConnect())
        return false;
    HttpPort::Handle request = handles.Keep(port->OpenRequest(connection, method, path));
    if (!request)
        return false;
    if (!port->AddHeaders(request, kAcceptHeader))
        return false;
    port->SetConnectTimeout(request, timeoutMs);
    if (!port->Send(request, kFormContentType, data))
        return false;

    char buffer[kRequestChunk];
    uint64_t total = 0;
    for (;;) {
        std::memset(buffer, 0, sizeof(buffer));
        uint32_t got = 0;
        if (!port->Read(request, buffer, kRequestChunk, got) || got == 0)
            break;
        if (got > kRequestChunk)
            got = kRequestChunk;
        body.append(buffer, got);
        total += got;
    }
    if (!ReadRawHeaders(*port, request, headers))
        return false;
    return total > 0;
}

std::string HttpGet(const std::string& url)
{
    if (!IsNetworkAlive())
        return std::string();
    std::string body;
    std::string headers;
    if (!HttpRequest("GET", url, std::string(), kGetTimeoutMs, body, headers))
        return std::string();
    if (headers.find("200 OK") == std::string::npos)
        return std::string();
    return body;
}

bool DownFile(const std::wstring& url, const std::string& path)
{
    return Download(url, path, false, nullptr, nullptr, nullptr);
}

bool DownFileVerified(const std::wstring& url, const std::string& path, const char* md5,
                      DownloadProgressFn progress, void* context)
{
    return Download(url, path, true, md5, progress, context);
}

}  // namespace USB
