// WinInet behind the HTTP session port: the flags (TLS when asked), the HTTP version and the
// time-out options; the texts on the wire come from the core.
#include "win32/wininet_adapter.h"

#include <windows.h>
#include <wininet.h>

#include <cstring>
#include <vector>

#include "win32/wide_text.h"

namespace USB {

namespace {

constexpr DWORD kHostBuffer = 2084;
constexpr DWORD kPathBuffer = 1024;

HINTERNET H(HttpPort::Handle h)
{
    return static_cast<HINTERNET>(h);
}

class WinInetHttp : public HttpPort {
public:
    bool CrackUrl(const std::string& url, std::string& host, uint16_t& port, std::string& path) override
    {
        char hostBuffer[kHostBuffer] = {0};
        char pathBuffer[kPathBuffer] = {0};
        URL_COMPONENTSA parts;
        std::memset(&parts, 0, sizeof(parts));
        parts.dwStructSize = sizeof(parts);
        parts.lpszHostName = hostBuffer;
        parts.dwHostNameLength = kHostBuffer;
        parts.lpszUrlPath = pathBuffer;
        parts.dwUrlPathLength = kPathBuffer;
        const BOOL ok = InternetCrackUrlA(url.c_str(), 0, ICU_ESCAPE, &parts);
        host = hostBuffer;
        path = pathBuffer;
        port = parts.nPort;
        return ok != FALSE;
    }

    Handle Open(const std::string& agent) override
    {
        return InternetOpenA(agent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, "", "", 0);
    }

    Handle OpenW(const std::string& agent) override
    {
        return InternetOpenW(Utf8ToWide(agent).c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    }

    Handle Connect(Handle session, const std::string& host, uint16_t port) override
    {
        return InternetConnectA(H(session), host.c_str(), port, nullptr, nullptr, INTERNET_SERVICE_HTTP,
                                INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION, 0);
    }

    bool AttemptConnect() override { return InternetAttemptConnect(0) == ERROR_SUCCESS; }

    Handle OpenRequest(Handle connection, const std::string& method, const std::string& path, bool secure) override
    {
        static LPCSTR accept[] = {"*/*", nullptr};
        DWORD flags = INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_FORMS_SUBMIT;
        if (secure)
            flags |= INTERNET_FLAG_SECURE;
        return HttpOpenRequestA(H(connection), method.c_str(), path.c_str(), "HTTP/1.0", nullptr, accept, flags, 0);
    }

    bool AddHeaders(Handle request, const std::string& headers) override
    {
        return HttpAddRequestHeadersA(H(request), headers.c_str(), static_cast<DWORD>(headers.size()),
                                      HTTP_ADDREQ_FLAG_REPLACE) != FALSE;
    }

    void SetConnectTimeout(Handle request, uint32_t ms) override
    {
        DWORD value = ms;
        InternetSetOptionW(H(request), INTERNET_OPTION_CONNECT_TIMEOUT, &value, sizeof(value));
    }

    void SetReceiveTimeout(Handle handle, uint32_t ms) override
    {
        DWORD value = ms;
        InternetSetOptionW(H(handle), INTERNET_OPTION_RECEIVE_TIMEOUT, &value, sizeof(value));
        InternetSetOptionW(H(handle), INTERNET_OPTION_SEND_TIMEOUT, &value, sizeof(value));
    }

    bool Send(Handle request, const std::string& headers, const std::string& body) override
    {
        std::vector<char> data(body.begin(), body.end());
        data.push_back(0);
        return HttpSendRequestA(H(request), headers.c_str(), static_cast<DWORD>(headers.size()), data.data(),
                                static_cast<DWORD>(body.size())) != FALSE;
    }

    bool Read(Handle request, char* buffer, uint32_t size, uint32_t& got) override
    {
        DWORD read = 0;
        const BOOL ok = InternetReadFile(H(request), buffer, size, &read);
        got = ok ? read : 0;
        return ok != FALSE;
    }

    bool QueryRawHeaders(Handle request, char* buffer, uint32_t& size) override
    {
        DWORD length = size;
        if (!HttpQueryInfoA(H(request), HTTP_QUERY_RAW_HEADERS_CRLF, buffer, &length, nullptr))
            return false;
        size = length;
        return true;
    }

    bool QueryContentLength(Handle request, char* buffer, uint32_t& size) override
    {
        DWORD length = size;
        if (!HttpQueryInfoA(H(request), HTTP_QUERY_CONTENT_LENGTH, buffer, &length, nullptr))
            return false;
        size = length;
        return true;
    }

    Handle OpenUrl(Handle session, const std::string& url) override
    {
        return InternetOpenUrlW(H(session), Utf8ToWide(url).c_str(), nullptr, 0, INTERNET_FLAG_NO_CACHE_WRITE, 0);
    }

    void Close(Handle handle) override
    {
        if (handle)
            InternetCloseHandle(H(handle));
    }
};

}  // namespace

HttpPort& Win32Http()
{
    static WinInetHttp http;
    return http;
}

}  // namespace USB
