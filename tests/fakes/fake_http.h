// A scriptable HTTP server behind the session port: answers by path, records every request.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "support/ports/http_port.h"

namespace USB {
namespace Fake {

struct HttpAnswer {
    HttpAnswer(std::string b = "", std::string s = "HTTP/1.1 200 OK") : body(std::move(b)), status(std::move(s)) {}
    std::string body;
    std::string status;
    uint64_t generatedSize = 0;       // > 0: a body of this many 'x' bytes made up on the fly
    bool contentLength = true;        // send a Content-Length header
    int64_t announcedLength = -1;     // -1: the real body size
    int64_t closeAfter = -1;          // >= 0: the connection ends after this many body bytes
    uint32_t maxChunk = 0xFFFFFFFFu;  // the most one read delivers
    std::string extraHeaders;         // more header lines, each ended by CR LF
    uint32_t msPerRead = 0;           // a trickling server: each read costs this much clock time
    std::function<void()> onRead;     // runs at every read (a phone leaving mid-download)
};

struct HttpRecord {
    std::string agent, host, method, path, addedHeaders, sentHeaders, body;  // path with its query
    uint16_t port = 0;
    uint32_t timeoutMs = 0, receiveTimeoutMs = 0;
    bool download = false, secure = false;
};

class Http : public HttpPort {
public:
    // Answers by exact path with query, else by the longest prefix served; else 404.
    void Serve(const std::string& path, const HttpAnswer& answer, bool prefix = false);
    void ServeJson(const std::string& prefix, const std::string& body) { Serve(prefix, HttpAnswer{body}, true); }
    std::vector<HttpRecord> Records();
    void ClearRecords();
    size_t OpenHandles();

    bool CrackUrl(const std::string& url, std::string& host, uint16_t& port, std::string& path) override;
    Handle Open(const std::string& agent) override;
    Handle OpenW(const std::wstring& agent) override;
    Handle Connect(Handle session, const std::string& host, uint16_t port) override;
    bool AttemptConnect() override { return true; }
    Handle OpenRequest(Handle connection, const std::string& method, const std::string& path, bool secure) override;
    Handle OpenUrl(Handle session, const std::wstring& url) override;
    bool AddHeaders(Handle r, const std::string& headers) override;
    void SetConnectTimeout(Handle r, uint32_t ms) override;
    void SetReceiveTimeout(Handle h, uint32_t ms) override;
    bool Send(Handle r, const std::string& headers, const std::string& body) override;
    bool Read(Handle r, char* buffer, uint32_t size, uint32_t& got) override;
    bool QueryRawHeaders(Handle r, char* buffer, uint32_t& size) override;
    bool QueryContentLength(Handle r, char* buffer, uint32_t& size) override;
    void Close(Handle h) override;

    bool refuse = false;  // connections fail
    uint64_t reads = 0;

private:
    struct State {
        HttpRecord record;  // a request's record is m_records[index]
        size_t index = SIZE_MAX;
        HttpAnswer answer;
        uint64_t delivered = 0;
    };
    Handle Make(Handle parent, const std::function<void(State&)>& fill);
    // Runs fn on the handle's state under the lock; false for an unknown handle.
    bool With(Handle h, const std::function<void(State&, HttpRecord&)>& fn);
    bool Copy(const std::string& text, char* buffer, uint32_t& size);

    std::recursive_mutex m_mutex;
    std::map<std::string, HttpAnswer> m_answers, m_prefixes;
    std::vector<HttpRecord> m_records;
    std::map<Handle, State> m_handles;
    uintptr_t m_next = 0x1000;
};

}  // namespace Fake
}  // namespace USB
