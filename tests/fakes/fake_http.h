// A scriptable HTTP server behind the session port: answers by path, records every request.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "support/ports/http_port.h"

namespace USB {
namespace Fake {

struct HttpAnswer {
    std::string status = "HTTP/1.1 200 OK";
    std::string body;
    uint64_t generatedSize = 0;     // > 0: a body of this many 'x' bytes made up on the fly
    bool contentLength = true;       // send a Content-Length header
    int64_t announcedLength = -1;    // -1: the real body size
    int64_t closeAfter = -1;         // >= 0: the connection ends after this many body bytes
    uint32_t maxChunk = 0xFFFFFFFFu; // the most one read delivers
    std::string extraHeaders;        // more header lines, each ended by CR LF
    uint32_t msPerRead = 0;          // a trickling server: each read costs this much clock time
    std::function<void()> onRead;    // runs at every read (a phone leaving mid-download)
};

struct HttpRecord {
    std::string agent;
    std::string host;
    uint16_t port = 0;
    std::string method;       // "GET" for downloads
    std::string path;         // with the query
    std::string addedHeaders; // through AddHeaders
    std::string sentHeaders;  // through Send
    std::string body;
    uint32_t timeoutMs = 0;
    uint32_t receiveTimeoutMs = 0;
    bool download = false;
    bool secure = false;
};

class Http : public HttpPort {
public:
    // Answers by path with query; unknown paths get 404 with a short body.
    void Serve(const std::string& path, const HttpAnswer& answer);
    void ServeJson(const std::string& pathPrefix, const std::string& body);
    std::vector<HttpRecord> Records();
    size_t OpenHandles();

    bool CrackUrl(const std::string& url, std::string& host, uint16_t& port, std::string& path) override;
    Handle Open(const std::string& agent) override;
    Handle OpenW(const std::wstring& agent) override;
    Handle Connect(Handle session, const std::string& host, uint16_t port) override;
    bool AttemptConnect() override { return attemptConnect; }
    Handle OpenRequest(Handle connection, const std::string& method, const std::string& path, bool secure) override;
    bool AddHeaders(Handle request, const std::string& headers) override;
    void SetConnectTimeout(Handle request, uint32_t ms) override;
    void SetReceiveTimeout(Handle handle, uint32_t ms) override;
    bool Send(Handle request, const std::string& headers, const std::string& body) override;
    bool Read(Handle request, char* buffer, uint32_t size, uint32_t& got) override;
    bool QueryRawHeaders(Handle request, char* buffer, uint32_t& size) override;
    bool QueryContentLength(Handle request, char* buffer, uint32_t& size) override;
    Handle OpenUrl(Handle session, const std::wstring& url) override;
    void Close(Handle handle) override;

    bool attemptConnect = true;
    bool refuse = false;  // connections fail
    uint64_t reads = 0;

private:
    struct State {
        int kind = 0;  // 1 session, 2 connection, 3 request
        std::string agent;
        std::string host;
        uint16_t port = 0;
        uint32_t receiveTimeoutMs = 0;
        size_t record = 0;
        HttpAnswer answer;
        uint64_t delivered = 0;
    };
    State* Find(Handle h);
    Handle Make(const State& state);
    HttpAnswer AnswerFor(const std::string& path);

    std::recursive_mutex m_mutex;
    std::map<std::string, HttpAnswer> m_answers;
    std::map<std::string, std::string> m_prefixAnswers;
    std::vector<HttpRecord> m_records;
    std::map<uintptr_t, State> m_handles;
    uintptr_t m_next = 0x1000;
};

}  // namespace Fake
}  // namespace USB
