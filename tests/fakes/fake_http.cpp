#include "fakes/fake_http.h"

#include <algorithm>
#include <cstring>

#include "support/sys_utils.h"

namespace USB {
namespace Fake {

void Http::Serve(const std::string& path, const HttpAnswer& answer)
{
    std::lock_guard<std::recursive_mutex> g(m_mutex);
    m_answers[path] = answer;
}

void Http::ServeJson(const std::string& pathPrefix, const std::string& body)
{
    std::lock_guard<std::recursive_mutex> g(m_mutex);
    m_prefixAnswers[pathPrefix] = body;
}

std::vector<HttpRecord> Http::Records()
{
    std::lock_guard<std::recursive_mutex> g(m_mutex);
    return m_records;
}

size_t Http::OpenHandles()
{
    std::lock_guard<std::recursive_mutex> g(m_mutex);
    return m_handles.size();
}

HttpAnswer Http::AnswerFor(const std::string& path)
{
    auto it = m_answers.find(path);
    if (it != m_answers.end())
        return it->second;
    for (const auto& kv : m_prefixAnswers) {
        if (path.compare(0, kv.first.size(), kv.first) == 0) {
            HttpAnswer a;
            a.body = kv.second;
            return a;
        }
    }
    HttpAnswer missing;
    missing.status = "HTTP/1.1 404 Not Found";
    missing.body = "not found";
    return missing;
}

bool Http::CrackUrl(const std::string& url, std::string& host, uint16_t& port, std::string& path)
{
    const size_t scheme = url.find("://");
    if (scheme == std::string::npos)
        return false;
    const size_t start = scheme + 3;
    const size_t slash = url.find('/', start);
    std::string authority = url.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    path = slash == std::string::npos ? "/" : url.substr(slash);
    port = url.compare(0, 8, "https://") == 0 ? 443 : 80;
    const size_t colon = authority.find(':');
    if (colon != std::string::npos) {
        port = static_cast<uint16_t>(std::stoi(authority.substr(colon + 1)));
        authority.resize(colon);
    }
    host = authority;
    return true;
}

Http::State* Http::Find(Handle h)
{
    auto it = m_handles.find(reinterpret_cast<uintptr_t>(h));
    return it == m_handles.end() ? nullptr : &it->second;
}

HttpPort::Handle Http::Make(const State& state)
{
    const uintptr_t id = m_next++;
    m_handles[id] = state;
    return reinterpret_cast<Handle>(id);
}

HttpPort::Handle Http::Open(const std::string& agent)
{
    std::lock_guard<std::recursive_mutex> g(m_mutex);
    State s;
    s.kind = 1;
    s.agent = agent;
    return Make(s);
}

HttpPort::Handle Http::OpenW(const std::wstring& agent)
{
    return Open(WideToNarrow(agent));
}

HttpPort::Handle Http::Connect(Handle session, const std::string& host, uint16_t port)
{
    std::lock_guard<std::recursive_mutex> g(m_mutex);
    State* parent = Find(session);
    if (!parent || refuse)
        return nullptr;
    State s = *parent;
    s.kind = 2;
    s.host = host;
    s.port = port;
    return Make(s);
}

HttpPort::Handle Http::OpenRequest(Handle connection, const std::string& method, const std::string& path, bool secure)
{
    std::lock_guard<std::recursive_mutex> g(m_mutex);
    State* parent = Find(connection);
    if (!parent)
        return nullptr;
    State s = *parent;
    s.kind = 3;
    HttpRecord r;
    r.agent = s.agent;
    r.host = s.host;
    r.port = s.port;
    r.method = method;
    r.path = path;
    r.secure = secure;
    r.receiveTimeoutMs = s.receiveTimeoutMs;
    m_records.push_back(r);
    s.record = m_records.size() - 1;
    return Make(s);
}

bool Http::AddHeaders(Handle request, const std::string& headers)
{
    std::lock_guard<std::recursive_mutex> g(m_mutex);
    State* s = Find(request);
    if (!s)
        return false;
    m_records[s->record].addedHeaders += headers;
    return true;
}

void Http::SetConnectTimeout(Handle request, uint32_t ms)
{
    std::lock_guard<std::recursive_mutex> g(m_mutex);
    if (State* s = Find(request))
        m_records[s->record].timeoutMs = ms;
}

void Http::SetReceiveTimeout(Handle handle, uint32_t ms)
{
    std::lock_guard<std::recursive_mutex> g(m_mutex);
    if (State* s = Find(handle))
        s->receiveTimeoutMs = ms;
}

bool Http::Send(Handle request, const std::string& headers, const std::string& body)
{
    std::lock_guard<std::recursive_mutex> g(m_mutex);
    State* s = Find(request);
    if (!s)
        return false;
    m_records[s->record].sentHeaders = headers;
    m_records[s->record].body = body;
    s->answer = AnswerFor(m_records[s->record].path);
    return true;
}

HttpPort::Handle Http::OpenUrl(Handle session, const std::wstring& url)
{
    std::lock_guard<std::recursive_mutex> g(m_mutex);
    State* parent = Find(session);
    if (!parent || refuse)
        return nullptr;
    State s = *parent;
    s.kind = 3;
    HttpRecord r;
    r.agent = s.agent;
    r.method = "GET";
    r.download = true;
    r.receiveTimeoutMs = s.receiveTimeoutMs;
    const std::string narrow = WideToNarrow(url);
    r.secure = narrow.compare(0, 8, "https://") == 0;
    CrackUrl(narrow, r.host, r.port, r.path);
    m_records.push_back(r);
    s.record = m_records.size() - 1;
    s.answer = AnswerFor(r.path);
    return Make(s);
}

bool Http::Read(Handle request, char* buffer, uint32_t size, uint32_t& got)
{
    std::lock_guard<std::recursive_mutex> g(m_mutex);
    got = 0;
    State* s = Find(request);
    if (!s)
        return false;
    ++reads;
    const HttpAnswer& a = s->answer;
    if (a.msPerRead)
        if (ClockPort* clock = GetPorts().clock)
            clock->SleepMs(a.msPerRead);
    if (a.onRead)
        a.onRead();
    uint64_t total = a.generatedSize > 0 ? a.generatedSize : a.body.size();
    if (a.closeAfter >= 0)
        total = std::min<uint64_t>(total, static_cast<uint64_t>(a.closeAfter));
    const uint64_t left = total - s->delivered;
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>({left, size, a.maxChunk}));
    if (a.generatedSize > 0)
        std::memset(buffer, 'x', n);
    else if (n > 0)
        std::memcpy(buffer, a.body.data() + s->delivered, n);
    s->delivered += n;
    got = n;
    return true;
}

bool Http::QueryRawHeaders(Handle request, char* buffer, uint32_t& size)
{
    std::lock_guard<std::recursive_mutex> g(m_mutex);
    State* s = Find(request);
    if (!s)
        return false;
    const HttpAnswer& a = s->answer;
    std::string text = a.status + "\r\n";
    if (a.contentLength) {
        const uint64_t length = a.announcedLength >= 0 ? static_cast<uint64_t>(a.announcedLength)
                                                       : (a.generatedSize > 0 ? a.generatedSize : a.body.size());
        text += "Content-Length: " + std::to_string(length) + "\r\n";
    }
    text += a.extraHeaders + "\r\n";
    if (text.size() + 1 > size)
        return false;
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = 0;
    size = static_cast<uint32_t>(text.size());
    return true;
}

bool Http::QueryContentLength(Handle request, char* buffer, uint32_t& size)
{
    std::lock_guard<std::recursive_mutex> g(m_mutex);
    State* s = Find(request);
    if (!s || !s->answer.contentLength)
        return false;
    const HttpAnswer& a = s->answer;
    const uint64_t length = a.announcedLength >= 0 ? static_cast<uint64_t>(a.announcedLength)
                                                   : (a.generatedSize > 0 ? a.generatedSize : a.body.size());
    const std::string text = std::to_string(length);
    if (text.size() + 1 > size)
        return false;
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    size = static_cast<uint32_t>(text.size());
    return true;
}

void Http::Close(Handle handle)
{
    std::lock_guard<std::recursive_mutex> g(m_mutex);
    m_handles.erase(reinterpret_cast<uintptr_t>(handle));
}

}  // namespace Fake
}  // namespace USB
