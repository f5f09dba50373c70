// A blocking TCP client socket with bounded waits: POSIX natively, Winsock
// on Windows. Winsock must already be started by the caller (WSAStartup).
#pragma once

#include <chrono>
#include <cstddef>

namespace adb {

class Socket {
public:
    Socket() = default;
    ~Socket();
    Socket(Socket&& other) noexcept;
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // Connects to 127.0.0.1:port, giving up after connect_ms. Later sends and
    // receives each give up after io_ms without progress.
    bool Connect(int port, int connect_ms, int io_ms);
    // From now on no send or receive waits past `deadline` either.
    void SetDeadline(std::chrono::steady_clock::time_point deadline);
    bool SendAll(const void* data, std::size_t size);
    // Exactly `size` bytes, or false on close, error or timeout.
    bool RecvExact(void* data, std::size_t size);
    // Up to `size` bytes; 0 on orderly close, -1 on error or timeout.
    long RecvSome(void* data, std::size_t size);
    // Bounds each later send and receive by `ms` without progress (0: none); replaces Connect's io_ms.
    void SetIoMs(int ms);
    // Ends a send or receive blocked on another thread; the socket stays to be closed.
    void Shutdown();
    void Close();
    bool is_open() const { return handle_ != kInvalid; }

private:
#ifdef _WIN32
    using Handle = unsigned long long;  // wide enough for SOCKET on any build
#else
    using Handle = int;
#endif
    static constexpr Handle kInvalid = static_cast<Handle>(-1);
    // False once the deadline has passed; else bounds the next wait by what is left of it.
    bool BoundNextWait();

    Handle handle_ = kInvalid;
    int io_ms_ = 0;
    bool has_deadline_ = false;
    std::chrono::steady_clock::time_point deadline_;
};

}  // namespace adb
