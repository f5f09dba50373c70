// A scripted HTTP server behind the session port: answers by the longest path prefix served
// (else 404) and records every request.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "support/ports/http_port.h"
#include "support/sys_utils.h"

namespace USB {
namespace Fake {

struct HttpAnswer {
    HttpAnswer(std::string b = "", std::string s = "HTTP/1.1 200 OK") : body(std::move(b)), status(std::move(s)) {}
    std::string body, status;
    std::string headers;             // more header lines, each ended by CR LF
    int64_t length = -1;             // the Content-Length announced: -1 the body's size, -2 no header
    size_t closeAfter = SIZE_MAX;    // the connection ends after this many body bytes
    uint32_t maxChunk = UINT32_MAX;  // the most one read delivers
    std::function<void()> onRead;    // runs at every read (a trickling server, a phone leaving)
};

struct HttpRecord {
    std::string agent, host, method, path, addedHeaders, sentHeaders, body;  // path with its query
    uint16_t port = 0;
    uint32_t timeoutMs = 0, receiveTimeoutMs = 0;
    bool secure = false;
};

class Http : public HttpPort {
    using Lock = std::lock_guard<std::recursive_mutex>;

public:
    void Serve(const std::string& prefix, const HttpAnswer& answer)
    {
        Lock g(m_mutex);
        m_answers[prefix] = answer;
    }
    void ServeJson(const std::string& prefix, const std::string& body) { Serve(prefix, HttpAnswer{body}); }
    std::vector<HttpRecord> Records()
    {
        Lock g(m_mutex);
        std::vector<HttpRecord> out;
        for (const auto& r : m_records)
            out.push_back(*r);
        return out;
    }
    void ClearRecords()
    {
        Lock g(m_mutex);
        m_records.clear();
    }
    size_t OpenHandles()
    {
        Lock g(m_mutex);
        return m_handles.size();
    }

    bool CrackUrl(const std::string& url, std::string& host, uint16_t& port, std::string& path) override
    {
        const size_t start = url.find("://"), slash = url.find('/', start + 3), colon = url.find(':', start + 3);
        if (start == std::string::npos)
            return false;
        const bool hasPort = colon < slash;
        host = url.substr(start + 3, std::min(slash, colon) - start - 3);
        path = slash == std::string::npos ? "/" : url.substr(slash);
        port = hasPort ? static_cast<uint16_t>(std::stoi(url.substr(colon + 1))) : start == 5 ? 443 : 80;
        return true;
    }
    Handle Open(const std::string& agent) override
    {
        return Make(nullptr, [&](HttpRecord& r) { r.agent = agent; });
    }
    Handle OpenW(const std::string& agent) override { return Open(agent); }
    Handle Connect(Handle session, const std::string& host, uint16_t port) override
    {
        return Make(session, [&](HttpRecord& r) { r.host = host, r.port = port; });
    }
    bool AttemptConnect() override { return true; }
    Handle OpenRequest(Handle connection, const std::string& method, const std::string& path, bool secure) override
    {
        return Make(connection, [&](HttpRecord& r) { r.method = method, r.path = path, r.secure = secure; });
    }
    Handle OpenUrl(Handle session, const std::string& url) override
    {
        return Make(session, [&](HttpRecord& r) {
            r.method = "GET";
            r.secure = CrackUrl(url, r.host, r.port, r.path) && r.port == 443;
        });
    }
    bool AddHeaders(Handle r, const std::string& headers) override
    {
        return With(r, [&](State& s) { s.record->addedHeaders += headers; });
    }
    void SetConnectTimeout(Handle r, uint32_t ms) override
    {
        With(r, [&](State& s) { s.record->timeoutMs = ms; });
    }
    void SetReceiveTimeout(Handle h, uint32_t ms) override
    {
        With(h, [&](State& s) { s.record->receiveTimeoutMs = ms; });
    }
    bool Send(Handle r, const std::string& headers, const std::string& body) override
    {
        return With(r, [&](State& s) { s.record->sentHeaders = headers, s.record->body = body; });
    }
    bool Read(Handle r, char* buffer, uint32_t size, uint32_t& got) override
    {
        got = 0;
        return With(r, [&](State& s) {
            if (++reads, s.answer.onRead)
                s.answer.onRead();
            const size_t total = std::min(s.answer.body.size(), s.answer.closeAfter);
            got = static_cast<uint32_t>(std::min<size_t>({total - s.delivered, size, s.answer.maxChunk}));
            std::memcpy(buffer, s.answer.body.data() + s.delivered, got);
            s.delivered += got;
        });
    }
    bool QueryRawHeaders(Handle r, char* buffer, uint32_t& size) override
    {
        return Query(r, buffer, size, [](const HttpAnswer& a) {
            return a.status + "\r\n" + (a.length != -2 ? "Content-Length: " + Length(a) + "\r\n" : "") + a.headers +
                   "\r\n";
        });
    }
    bool QueryContentLength(Handle r, char* buffer, uint32_t& size) override
    {
        return Query(r, buffer, size, [](const HttpAnswer& a) { return a.length != -2 ? Length(a) : ""; });
    }
    void Close(Handle h) override
    {
        Lock g(m_mutex);
        m_handles.erase(h);
    }

    bool refuse = false;  // connections fail
    uint64_t reads = 0;

private:
    struct State {
        std::shared_ptr<HttpRecord> record;  // a request's record is also in m_records
        HttpAnswer answer{};
        size_t delivered = 0;
    };
    Handle Make(Handle parent, const std::function<void(HttpRecord&)>& fill)
    {
        Lock g(m_mutex);
        if (parent && (!m_handles.count(parent) || refuse))
            return nullptr;
        State s{std::make_shared<HttpRecord>(parent ? *m_handles[parent].record : HttpRecord{})};
        fill(*s.record);
        if (!s.record->method.empty()) {  // a request: recorded and answered by its path
            m_records.push_back(s.record);
            s.answer = HttpAnswer("not found", "HTTP/1.1 404 Not Found");
            for (const auto& kv : m_answers)  // in order: the longest matching prefix is the last
                if (s.record->path.compare(0, kv.first.size(), kv.first) == 0)
                    s.answer = kv.second;
        }
        Handle h = reinterpret_cast<Handle>(m_next++);
        m_handles[h] = s;
        return h;
    }
    // Runs fn on the handle's state under the lock; false for an unknown handle.
    bool With(Handle h, const std::function<void(State&)>& fn)
    {
        Lock g(m_mutex);
        auto it = m_handles.find(h);
        return it != m_handles.end() && (fn(it->second), true);
    }
    static std::string Length(const HttpAnswer& a)
    {
        return std::to_string(a.length == -1 ? static_cast<int64_t>(a.body.size()) : a.length);
    }
    // The answer's text copied with its NUL when it fits (size is then its length); false when
    // there is none.
    bool Query(Handle r, char* buffer, uint32_t& size, std::string (*text)(const HttpAnswer&))
    {
        bool ok = false;
        With(r, [&](State& s) {
            const std::string t = text(s.answer);
            if ((ok = !t.empty() && t.size() < size))
                std::memcpy(buffer, t.c_str(), t.size() + 1), size = static_cast<uint32_t>(t.size());
        });
        return ok;
    }

    std::recursive_mutex m_mutex;
    std::map<std::string, HttpAnswer> m_answers;
    std::vector<std::shared_ptr<HttpRecord>> m_records;
    std::map<Handle, State> m_handles;
    uintptr_t m_next = 0x1000;
};

}  // namespace Fake
}  // namespace USB
