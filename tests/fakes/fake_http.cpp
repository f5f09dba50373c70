#include "fakes/fake_http.h"

#include <algorithm>
#include <cstring>

#include "support/ports.h"
#include "support/sys_utils.h"

namespace USB {
namespace Fake {

using Lock = std::lock_guard<std::recursive_mutex>;

void Http::Serve(const std::string& path, const HttpAnswer& answer, bool prefix)
{
    Lock g(m_mutex);
    (prefix ? m_prefixes : m_answers)[path] = answer;
}

std::vector<HttpRecord> Http::Records()
{
    Lock g(m_mutex);
    return m_records;
}

void Http::ClearRecords()
{
    Lock g(m_mutex);
    m_records.clear();
}

size_t Http::OpenHandles()
{
    Lock g(m_mutex);
    return m_handles.size();
}

bool Http::CrackUrl(const std::string& url, std::string& host, uint16_t& port, std::string& path)
{
    const size_t start = url.find("://");
    if (start == std::string::npos)
        return false;
    const size_t slash = url.find('/', start + 3);
    host = url.substr(start + 3, slash == std::string::npos ? std::string::npos : slash - start - 3);
    path = slash == std::string::npos ? "/" : url.substr(slash);
    port = ToLowerAscii(url.substr(0, 8)) == "https://" ? 443 : 80;
    const size_t colon = host.find(':');
    if (colon != std::string::npos) {
        port = static_cast<uint16_t>(std::stoi(host.substr(colon + 1)));
        host.resize(colon);
    }
    return true;
}

HttpPort::Handle Http::Make(Handle parent, const std::function<void(State&)>& fill)
{
    Lock g(m_mutex);
    State s;
    if (parent) {
        auto it = m_handles.find(parent);
        if (it == m_handles.end() || refuse)
            return nullptr;
        s.record = it->second.record;
    }
    fill(s);
    if (!s.record.method.empty()) {  // a request: recorded and answered by its path
        s.index = m_records.size();
        m_records.push_back(s.record);
        s.answer = HttpAnswer("not found", "HTTP/1.1 404 Not Found");
        size_t longest = 0;
        for (const auto& kv : m_prefixes)
            if (kv.first.size() > longest && s.record.path.compare(0, kv.first.size(), kv.first) == 0)
                s.answer = kv.second, longest = kv.first.size();
        if (m_answers.count(s.record.path))
            s.answer = m_answers[s.record.path];
    }
    Handle h = reinterpret_cast<Handle>(m_next++);
    m_handles[h] = s;
    return h;
}

bool Http::With(Handle h, const std::function<void(State&, HttpRecord&)>& fn)
{
    Lock g(m_mutex);
    auto it = m_handles.find(h);
    if (it == m_handles.end())
        return false;
    HttpRecord none;
    fn(it->second, it->second.index < m_records.size() ? m_records[it->second.index] : none);
    return true;
}

HttpPort::Handle Http::Open(const std::string& agent)
{
    return Make(nullptr, [&](State& s) { s.record.agent = agent; });
}

HttpPort::Handle Http::OpenW(const std::wstring& agent)
{
    return Open(WideToNarrow(agent));
}

HttpPort::Handle Http::Connect(Handle session, const std::string& host, uint16_t port)
{
    return Make(session, [&](State& s) { s.record.host = host, s.record.port = port; });
}

HttpPort::Handle Http::OpenRequest(Handle connection, const std::string& method, const std::string& path, bool secure)
{
    return Make(connection,
                [&](State& s) { s.record.method = method, s.record.path = path, s.record.secure = secure; });
}

HttpPort::Handle Http::OpenUrl(Handle session, const std::wstring& url)
{
    return Make(session, [&](State& s) {
        const std::string narrow = WideToNarrow(url);
        s.record.method = "GET";
        s.record.download = true;
        s.record.secure = ToLowerAscii(narrow.substr(0, 8)) == "https://";
        CrackUrl(narrow, s.record.host, s.record.port, s.record.path);
    });
}

bool Http::AddHeaders(Handle r, const std::string& headers)
{
    return With(r, [&](State&, HttpRecord& rec) { rec.addedHeaders += headers; });
}

void Http::SetConnectTimeout(Handle r, uint32_t ms)
{
    With(r, [&](State&, HttpRecord& rec) { rec.timeoutMs = ms; });
}

void Http::SetReceiveTimeout(Handle h, uint32_t ms)
{
    With(h, [&](State& s, HttpRecord&) { s.record.receiveTimeoutMs = ms; });
}

bool Http::Send(Handle r, const std::string& headers, const std::string& body)
{
    return With(r, [&](State&, HttpRecord& rec) { rec.sentHeaders = headers, rec.body = body; });
}

bool Http::Read(Handle r, char* buffer, uint32_t size, uint32_t& got)
{
    got = 0;
    return With(r, [&](State& s, HttpRecord&) {
        ++reads;
        const HttpAnswer& a = s.answer;
        if (a.msPerRead)
            GetPorts().clock->SleepMs(a.msPerRead);
        if (a.onRead)
            a.onRead();
        uint64_t total = a.generatedSize > 0 ? a.generatedSize : a.body.size();
        if (a.closeAfter >= 0)
            total = std::min<uint64_t>(total, static_cast<uint64_t>(a.closeAfter));
        got = static_cast<uint32_t>(std::min<uint64_t>({total - s.delivered, size, a.maxChunk}));
        if (a.generatedSize > 0)
            std::memset(buffer, 'x', got);
        else if (got > 0)
            std::memcpy(buffer, a.body.data() + s.delivered, got);
        s.delivered += got;
    });
}

bool Http::Copy(const std::string& text, char* buffer, uint32_t& size)
{
    if (text.size() + 1 > size)
        return false;
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    size = static_cast<uint32_t>(text.size());
    return true;
}

// The announced length: the real body size unless the answer says otherwise.
static std::string Length(const HttpAnswer& a)
{
    return std::to_string(a.announcedLength >= 0 ? static_cast<uint64_t>(a.announcedLength)
                                                 : (a.generatedSize > 0 ? a.generatedSize : a.body.size()));
}

bool Http::QueryRawHeaders(Handle r, char* buffer, uint32_t& size)
{
    bool ok = false;
    With(r, [&](State& s, HttpRecord&) {
        const HttpAnswer& a = s.answer;
        ok = Copy(a.status + "\r\n" + (a.contentLength ? "Content-Length: " + Length(a) + "\r\n" : "") +
                      a.extraHeaders + "\r\n",
                  buffer, size);
    });
    return ok;
}

bool Http::QueryContentLength(Handle r, char* buffer, uint32_t& size)
{
    bool ok = false;
    With(r, [&](State& s, HttpRecord&) { ok = s.answer.contentLength && Copy(Length(s.answer), buffer, size); });
    return ok;
}

void Http::Close(Handle h)
{
    Lock g(m_mutex);
    m_handles.erase(h);
}

}  // namespace Fake
}  // namespace USB
