#include "cloud/http_transport.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "support/md5.h"
#include "support/ports/ports.h"
#include "support/ports/http_port.h"
#include "support/sys_utils.h"
#include "support/usb_event.h"
#include "support/usb_log.h"

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

enum class Scheme { Plain, Secure, Other };

Scheme SchemeOf(const std::string& url)
{
    const std::string head = ToLowerAscii(url.substr(0, 8));
    if (head.compare(0, 7, "http://") == 0)
        return Scheme::Plain;
    if (head == "https://")
        return Scheme::Secure;
    return Scheme::Other;
}

// The end of a transfer's time on the clock port.
class Deadline {
public:
    explicit Deadline(uint32_t ms) : m_clock(*GetPorts().clock), m_end(m_clock.NowMs() + ms) {}
    bool Passed() const { return m_clock.NowMs() > m_end; }

private:
    ClockPort& m_clock;
    uint64_t m_end;
};

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

// Removes a download's file when the download does not succeed: a failed, refused, abandoned or
// cut-short transfer leaves nothing behind. Made before the file's writer, so that it runs after
// the writer has closed the file.
class PartialFile {
public:
    ~PartialFile()
    {
        if (!m_path.empty())
            RemoveFile(m_path);
    }
    void Watch(const std::string& path) { m_path = path; }
    bool Keep()
    {
        m_path.clear();
        return true;
    }

private:
    std::string m_path;
};

struct DownloadLimits {
    uint64_t maxBytes;
    uint32_t deadlineMs;
};

// The shared body of both downloads; md5 and progress only for the verified one.
bool Download(const std::string& url, const std::string& path, bool verify, const char* md5,
              DownloadProgressFn progress, void* context, const DownloadLimits& limits)
{
    HttpPort* port = GetPorts().http;
    if (SchemeOf(url) == Scheme::Other) {
        USB_LOG("download %s refused: not an http or https address\n", url.c_str());
        return false;
    }
    const Deadline deadline(limits.deadlineMs);
    HandleSet handles(*port);
    HttpPort::Handle session = handles.Keep(port->OpenW(kDownloadAgent));
    if (!session)
        return false;
    port->SetReceiveTimeout(session, kReceiveTimeoutMs);
    HttpPort::Handle request = handles.Keep(port->OpenUrl(session, url));
    if (!request)
        return false;

    std::string headers;
    if (!ReadRawHeaders(*port, request, headers))
        return false;
    if (!StatusIs200(headers)) {
        USB_LOG("download %s status is %s\n", url.c_str(), headers.c_str());
        return false;
    }

    char lengthText[kHeaderBuffer];
    std::memset(lengthText, 0, sizeof(lengthText));
    uint32_t lengthSize = kHeaderBuffer;
    if (!port->QueryContentLength(request, lengthText, lengthSize))
        return false;
    lengthText[kHeaderBuffer - 1] = 0;
    const uint64_t announced = std::strtoull(lengthText, nullptr, 10);
    if (announced > limits.maxBytes) {
        USB_LOG("download %s announces %llu bytes, more than the %llu allowed\n", url.c_str(),
                static_cast<unsigned long long>(announced), static_cast<unsigned long long>(limits.maxBytes));
        return false;
    }

    PartialFile partial;
    FileWriter file(path);
    if (!file.IsOpen()) {
        USB_LOG("cannot write %s\n", path.c_str());
        return false;
    }
    partial.Watch(path);

    std::vector<char> buffer(kDownloadBuffer, 0);
    MD5 digest;
    uint64_t received = 0;
    int32_t lastPercent = 0;
    for (;;) {
        if (deadline.Passed()) {
            USB_LOG("download %s took longer than %u ms, given up\n", url.c_str(),
                    static_cast<unsigned>(limits.deadlineMs));
            return false;
        }
        // A stopped service does not wait for a package nobody will install.
        if (WorkCalledOff()) {
            USB_LOG("download %s given up: the service stopped\n", url.c_str());
            return false;
        }
        uint32_t got = 0;
        if (!port->Read(request, buffer.data(), kDownloadChunk, got))
            got = 0;
        if (got == 0)
            break;
        if (got > kDownloadChunk)
            got = kDownloadChunk;
        received += got;
        // Never more than announced (and so never more than the cap) reaches the disk.
        if (received > announced) {
            USB_LOG("download %s sends more than the %llu bytes it announced\n", url.c_str(),
                    static_cast<unsigned long long>(announced));
            return false;
        }
        if (!file.Write(buffer.data(), got)) {
            USB_LOG("write to %s failed\n", path.c_str());
            return false;
        }
        if (!verify)
            continue;
        digest.Update(buffer.data(), got);
        if (progress && announced > 0) {
            const int32_t percent = ProgressPercent(received, announced);
            if (percent > 0 && percent != lastPercent) {
                if (!progress(percent, context))
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
    return received == announced && partial.Keep();
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
    return GetPorts().system->NetworkAlive();
}

bool StatusIs200(const std::string& rawHeaders)
{
    const std::string line = rawHeaders.substr(0, rawHeaders.find("\r\n"));
    if (line.compare(0, 5, "HTTP/") != 0)
        return false;
    const size_t space = line.find(' ');
    if (space == std::string::npos || line.compare(space + 1, 3, "200") != 0)
        return false;
    return line.size() == space + 4 || line[space + 4] == ' ';
}

bool HttpRequest(const std::string& method, const std::string& urlIn, const std::string& dataIn, uint32_t timeoutMs,
                 std::string& body, std::string& headers, size_t maxBody)
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
    const Scheme scheme = SchemeOf(url);
    if (scheme == Scheme::Other) {
        // The URL may carry the request token: it is not logged.
        USB_LOG("only http and https addresses are asked\n");
        return false;
    }

    std::string host;
    std::string path;
    uint16_t portNumber = 0;
    port->CrackUrl(url, host, portNumber, path);
    if (host.size() >= kHostBuffer)
        host.resize(kHostBuffer - 1);
    if (path.size() >= kPathBuffer)
        path.resize(kPathBuffer - 1);

    const Deadline deadline(kAnswerDeadlineMs);
    HandleSet handles(*port);
    HttpPort::Handle session = handles.Keep(port->Open(kRequestAgent));
    if (!session)
        return false;
    port->SetReceiveTimeout(session, kReceiveTimeoutMs);
    HttpPort::Handle connection = handles.Keep(port->Connect(session, host, portNumber));
    if (!connection)
        return false;
    if (!port->AttemptConnect())
        return false;
    HttpPort::Handle request = handles.Keep(port->OpenRequest(connection, method, path, scheme == Scheme::Secure));
    if (!request)
        return false;
    if (!port->AddHeaders(request, kAcceptHeader))
        return false;
    port->SetConnectTimeout(request, timeoutMs);
    if (!port->Send(request, kFormContentType, data))
        return false;

    char buffer[kRequestChunk];
    for (;;) {
        if (deadline.Passed()) {
            USB_LOG("the answer took longer than %u ms, given up\n", static_cast<unsigned>(kAnswerDeadlineMs));
            body.clear();
            return false;
        }
        std::memset(buffer, 0, sizeof(buffer));
        uint32_t got = 0;
        if (!port->Read(request, buffer, kRequestChunk, got) || got == 0)
            break;
        if (got > kRequestChunk)
            got = kRequestChunk;
        if (body.size() + got > maxBody) {
            USB_LOG("the answer is larger than %u bytes, refused\n", static_cast<unsigned>(maxBody));
            body.clear();
            return false;
        }
        body.append(buffer, got);
    }
    if (!ReadRawHeaders(*port, request, headers))
        return false;
    return !body.empty() && StatusIs200(headers);
}

std::string HttpGet(const std::string& url, size_t maxBody)
{
    if (!IsNetworkAlive())
        return std::string();
    std::string body;
    std::string headers;
    if (!HttpRequest("GET", url, std::string(), kGetTimeoutMs, body, headers, maxBody))
        return std::string();
    return body;
}

bool DownFile(const std::string& url, const std::string& path)
{
    return Download(url, path, false, nullptr, nullptr, nullptr,
                    DownloadLimits{kMaxWhitelistBytes, kWhitelistDeadlineMs});
}

bool DownFileVerified(const std::string& url, const std::string& path, const char* md5, DownloadProgressFn progress,
                      void* context)
{
    return Download(url, path, true, md5, progress, context, DownloadLimits{kMaxPackageBytes, kPackageDeadlineMs});
}

}  // namespace USB
