#include "adb_socket.h"

#include <cstring>
#include <utility>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#endif

namespace adb {

namespace {

#ifdef _WIN32
using Native = SOCKET;
Native ToNative(unsigned long long h)
{
    return static_cast<Native>(h);
}
void CloseNative(Native s)
{
    closesocket(s);
}
bool SetBlocking(Native s, bool blocking)
{
    u_long nonblocking = blocking ? 0 : 1;
    return ioctlsocket(s, FIONBIO, &nonblocking) == 0;
}
bool ConnectInProgress()
{
    return WSAGetLastError() == WSAEWOULDBLOCK;
}
void SetIoTimeout(Native s, int ms)
{
    DWORD t = static_cast<DWORD>(ms);
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&t), sizeof t);
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&t), sizeof t);
}
bool WaitWritable(Native s, int ms)
{
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    if (select(0, nullptr, &writable, &failed, &tv) <= 0)
        return false;
    return FD_ISSET(s, &writable) && !FD_ISSET(s, &failed);
}
constexpr int kSendFlags = 0;
#else
using Native = int;
Native ToNative(int h)
{
    return h;
}
void CloseNative(Native s)
{
    ::close(s);
}
bool SetBlocking(Native s, bool blocking)
{
    int flags = fcntl(s, F_GETFL, 0);
    if (flags < 0)
        return false;
    flags = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return fcntl(s, F_SETFL, flags) == 0;
}
bool ConnectInProgress()
{
    return errno == EINPROGRESS;
}
void SetIoTimeout(Native s, int ms)
{
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}
bool WaitWritable(Native s, int ms)
{
    pollfd p{s, POLLOUT, 0};
    int r;
    do {
        r = poll(&p, 1, ms);
    } while (r < 0 && errno == EINTR);
    return r > 0;
}
constexpr int kSendFlags = MSG_NOSIGNAL;  // a closed peer is an error, not SIGPIPE
#endif

bool ConnectedCleanly(Native s)
{
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0)
        return false;
    return err == 0;
}

}  // namespace

Socket::~Socket()
{
    Close();
}

Socket::Socket(Socket&& other) noexcept
    : handle_(std::exchange(other.handle_, kInvalid)), io_ms_(other.io_ms_), has_deadline_(other.has_deadline_),
      deadline_(other.deadline_)
{
}

Socket& Socket::operator=(Socket&& other) noexcept
{
    if (this != &other) {
        Close();
        handle_ = std::exchange(other.handle_, kInvalid);
        io_ms_ = other.io_ms_;
        has_deadline_ = other.has_deadline_;
        deadline_ = other.deadline_;
    }
    return *this;
}

bool Socket::Connect(int port, int connect_ms, int io_ms)
{
    Close();
    Native s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
#ifdef _WIN32
    if (s == INVALID_SOCKET)
        return false;
#else
    if (s < 0)
        return false;
#endif
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<unsigned short>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

    // Non-blocking connect so a stalled listener cannot hold the caller.
    bool ok = SetBlocking(s, false);
    if (ok && connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        ok = ConnectInProgress() && WaitWritable(s, connect_ms) && ConnectedCleanly(s);
    ok = ok && SetBlocking(s, true);
    if (!ok) {
        CloseNative(s);
        return false;
    }
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    SetIoTimeout(s, io_ms);
    handle_ = static_cast<Handle>(s);
    io_ms_ = io_ms;
    has_deadline_ = false;
    return true;
}

void Socket::SetDeadline(std::chrono::steady_clock::time_point deadline)
{
    has_deadline_ = true;
    deadline_ = deadline;
}

bool Socket::BoundNextWait()
{
    if (!has_deadline_)
        return true;
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - std::chrono::steady_clock::now()).count();
    if (left <= 0)
        return false;
    SetIoTimeout(ToNative(handle_), static_cast<int>(left < io_ms_ ? left : io_ms_));
    return true;
}

bool Socket::SendAll(const void* data, std::size_t size)
{
    if (!is_open())
        return false;
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        if (!BoundNextWait())
            return false;
        int chunk = size > 65536 ? 65536 : static_cast<int>(size);
        auto n = send(ToNative(handle_), p, chunk, kSendFlags);
#ifndef _WIN32
        if (n < 0 && errno == EINTR)
            continue;
#endif
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

long Socket::RecvSome(void* data, std::size_t size)
{
    if (!is_open() || !BoundNextWait())
        return -1;
    int chunk = size > 65536 ? 65536 : static_cast<int>(size);
    for (;;) {
        auto n = recv(ToNative(handle_), static_cast<char*>(data), chunk, 0);
#ifndef _WIN32
        if (n < 0 && errno == EINTR)
            continue;
#endif
        return n < 0 ? -1 : static_cast<long>(n);
    }
}

bool Socket::RecvExact(void* data, std::size_t size)
{
    char* p = static_cast<char*>(data);
    while (size > 0) {
        long n = RecvSome(p, size);
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

void Socket::SetIoMs(int ms)
{
    io_ms_ = ms;
    if (is_open())
        SetIoTimeout(ToNative(handle_), ms);
}

void Socket::Shutdown()
{
#ifdef _WIN32
    if (is_open())
        shutdown(ToNative(handle_), SD_BOTH);
#else
    if (is_open())
        shutdown(ToNative(handle_), SHUT_RDWR);
#endif
}

void Socket::Close()
{
    if (handle_ != kInvalid) {
        CloseNative(ToNative(handle_));
        handle_ = kInvalid;
    }
}

}  // namespace adb
