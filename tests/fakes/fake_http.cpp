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
    if (!prefix)
        m_answers[path] = answer;
    for (auto& p : m_prefixes)
        if (prefix && p.first == path)
            return void(p.second = answer);
    if (prefix)
        m_prefixes.emplace_back(path, answer);
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

HttpPort::Handle Http::Make(State state)
{
    m_handles[m_next] = std::move(state);
    return reinterpret_cast<Handle>(m_next++);
}

Http::State* Http::Find(Handle h)
{
    auto it = m_handles.find(reinterpret_cast<uintptr_t>(h));
    return it == m_handles.end() ? nullptr : &it->second;
}

HttpPort::Handle Http::Open(const std::string& agent)
{
    Lock g(m_mutex);
    State s;
    s.record.agent = agent;
    return Make(s);
}

HttpPort::Handle Http::OpenW(const std::wstring& agent) { return Open(WideToNarrow(agent)); }

HttpPort::Handle Http::Connect(Handle session, const std::string& host, uint16_t port)
{
    Lock g(m_mutex);
    State* parent = Find(session);
    if (!parent || refuse)
        return nullptr;
    State s = *parent;
    s.record.host = host;
    s.record.port = port;
    return Make(s);
}

HttpPort::Handle Http::Request(Handle parent, HttpRecord record)
{
    State* p = Find(parent);
    if (!p || refuse)
        return nullptr;
    State s;
    record.agent = p->record.agent;
    record.receiveTimeoutMs = p->record.receiveTimeoutMs;
    s.index = m_records.size();
    m_records.push_back(record);
    auto exact = m_answers.find(record.path);
    s.answer.status = "HTTP/1.1 404 Not Found";
    s.answer.body = "not found";
    if (exact != m_answers.end())
        s.answer = exact->second;
    size_t longest = 0;
    for (const auto& kv : m_prefixes)
        if (exact == m_answers.end() && kv.first.size() > longest && record.path.compare(0, kv.first.size(), kv.first) == 0)
            s.answer = kv.second, longest = kv.first.size();
    return Make(s);
}

HttpPort::Handle Http::OpenRequest(Handle connection, const std::string& method, const std::string& path, bool secure)
{
    Lock g(m_mutex);
    State* parent = Find(connection);
    if (!parent)
        return nullptr;
    HttpRecord r = parent->record;
    r.method = method;
    r.path = path;
    r.secure = secure;
    return Request(connection, r);
}

HttpPort::Handle Http::OpenUrl(Handle session, const std::wstring& url)
{
    Lock g(m_mutex);
    HttpRecord r;
    r.method = "GET";
    r.download = true;
    const std::string narrow = WideToNarrow(url);
    r.secure = ToLowerAscii(narrow.substr(0, 8)) == "https://";
    CrackUrl(narrow, r.host, r.port, r.path);
    return Request(session, r);
}

bool Http::AddHeaders(Handle request, const std::string& headers)
{
    Lock g(m_mutex);
    State* s = Find(request);
    return s && (m_records[s->index].addedHeaders += headers, true);
}

void Http::SetConnectTimeout(Handle request, uint32_t ms)
{
    Lock g(m_mutex);
    if (State* s = Find(request))
        m_records[s->index].timeoutMs = ms;
}

void Http::SetReceiveTimeout(Handle handle, uint32_t ms)
{
    Lock g(m_mutex);
    if (State* s = Find(handle))
        s->record.receiveTimeoutMs = ms;
}

bool Http::Send(Handle request, const std::string& headers, const std::string& body)
{
    Lock g(m_mutex);
    State* s = Find(request);
    if (!s)
        return false;
    m_records[s->index].sentHeaders = headers;
    m_records[s->index].body = body;
    return true;
}

uint64_t Http::Length(const HttpAnswer& a) const
{
    return a.announcedLength >= 0 ? static_cast<uint64_t>(a.announcedLength)
                                  : (a.generatedSize > 0 ? a.generatedSize : a.body.size());
}

bool Http::Read(Handle request, char* buffer, uint32_t size, uint32_t& got)
{
    Lock g(m_mutex);
    got = 0;
    State* s = Find(request);
    if (!s)
        return false;
    ++reads;
    const HttpAnswer& a = s->answer;
    if (a.msPerRead)
        GetPorts().clock->SleepMs(a.msPerRead);
    if (a.onRead)
        a.onRead();
    uint64_t total = a.generatedSize > 0 ? a.generatedSize : a.body.size();
    if (a.closeAfter >= 0)
        total = std::min<uint64_t>(total, static_cast<uint64_t>(a.closeAfter));
    got = static_cast<uint32_t>(std::min<uint64_t>({total - s->delivered, size, a.maxChunk}));
    if (a.generatedSize > 0)
        std::memset(buffer, 'x', got);
    else if (got > 0)
        std::memcpy(buffer, a.body.data() + s->delivered, got);
    s->delivered += got;
    return true;
}

bool Http::QueryRawHeaders(Handle request, char* buffer, uint32_t& size)
{
    Lock g(m_mutex);
    State* s = Find(request);
    if (!s)
        return false;
    const HttpAnswer& a = s->answer;
    std::string text = a.status + "\r\n";
    if (a.contentLength)
        text += "Content-Length: " + std::to_string(Length(a)) + "\r\n";
    text += a.extraHeaders + "\r\n";
    if (text.size() + 1 > size)
        return false;
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    size = static_cast<uint32_t>(text.size());
    return true;
}

bool Http::QueryContentLength(Handle request, char* buffer, uint32_t& size)
{
    Lock g(m_mutex);
    State* s = Find(request);
    if (!s || !s->answer.contentLength)
        return false;
    const std::string text = std::to_string(Length(s->answer));
    if (text.size() + 1 > size)
        return false;
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    size = static_cast<uint32_t>(text.size());
    return true;
}

void Http::Close(Handle handle)
{
    Lock g(m_mutex);
    m_handles.erase(reinterpret_cast<uintptr_t>(handle));
}

}  // namespace Fake
}  // namespace USB
