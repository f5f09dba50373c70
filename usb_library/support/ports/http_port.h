// HTTP sessions as the transport needs them, shaped after WinInet: the core passes every
// text that goes on the wire; the adapter supplies the flags and the session plumbing.
#pragma once

#include <cstdint>
#include <string>

namespace USB {

class HttpPort {
public:
    using Handle = void*;

    virtual ~HttpPort() = default;

    // Splits a URL into host, port and path (the query stays in the path). False when the
    // URL cannot be split or a part does not fit the caller's limits.
    virtual bool CrackUrl(const std::string& url, std::string& host, uint16_t& port, std::string& path) = 0;
    // A session with the preconfigured proxy settings; null on failure. The download session is
    // opened through the wide call.
    virtual Handle Open(const std::string& agent) = 0;
    virtual Handle OpenW(const std::string& agent) = 0;
    // An HTTP connection that writes nothing to the cache and keeps the connection.
    virtual Handle Connect(Handle session, const std::string& host, uint16_t port) = 0;
    // True when the machine may dial out (always, on a LAN).
    virtual bool AttemptConnect() = 0;
    // An HTTP/1.0 request accepting "*/*", no cache writes, kept connection, form submit;
    // over TLS when secure.
    virtual Handle OpenRequest(Handle connection, const std::string& method, const std::string& path, bool secure) = 0;
    // Adds headers, replacing headers of the same name.
    virtual bool AddHeaders(Handle request, const std::string& headers) = 0;
    virtual void SetConnectTimeout(Handle request, uint32_t ms) = 0;
    // How long one send or receive may wait, for a session and what it opens.
    virtual void SetReceiveTimeout(Handle handle, uint32_t ms) = 0;
    virtual bool Send(Handle request, const std::string& headers, const std::string& body) = 0;
    // Up to size bytes of the body; got = 0 at its end. False on a failed read.
    virtual bool Read(Handle request, char* buffer, uint32_t size, uint32_t& got) = 0;
    // Status line and header lines, each ended by CR LF. size: in the buffer's size, out the
    // text's length. False when the text does not fit or cannot be had.
    virtual bool QueryRawHeaders(Handle request, char* buffer, uint32_t& size) = 0;
    // The Content-Length header's text; false when there is none.
    virtual bool QueryContentLength(Handle request, char* buffer, uint32_t& size) = 0;
    // Opens a URL (UTF-8) for download without writing to the cache; null on failure.
    virtual Handle OpenUrl(Handle session, const std::string& url) = 0;
    virtual void Close(Handle handle) = 0;
};

}  // namespace USB
