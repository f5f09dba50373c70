// A client for the ADB server's host protocol: one connection per request,
// every wait bounded, every failure reported as a negative code plus text.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "adb_bridge.h"  // adb::Error, the results shared with the C interface
#include "adb_socket.h"

namespace adb {

struct ClientOptions {
    int port = 5037;
    int connect_ms = 2000;
    int io_ms = 10000;        // host requests and sync transfers, per wait
    int command_ms = 120000;  // shell commands, e.g. pm install on a slow device, per wait
    int total_ms = 0;         // the whole request, connect included; 0: no bound beyond the above
};

class Client {
public:
    explicit Client(const ClientOptions& options);

    int Version(int* version);
    int Devices(std::string* listing);
    // Asks the server to exit and waits (bounded) until its port goes quiet.
    int Kill();
    // `serial` empty means the only device. Output beyond `keep` bytes is
    // read and dropped so the command still runs to completion.
    int Shell(const std::string& serial, const std::string& command, std::string* output, std::size_t keep);
    int Forward(const std::string& serial, const std::string& local, const std::string& remote);
    int Push(const std::string& serial, const std::string& local_path, const std::string& remote_path,
             std::uint32_t mode = 0644);
    int Pull(const std::string& serial, const std::string& remote_path, const std::string& local_path);
    int Install(const std::string& serial, const std::string& local_apk, std::string* output, std::size_t keep);
    int Uninstall(const std::string& serial, const std::string& package, std::string* output, std::size_t keep);

    // host:track-devices on a connected socket: after OK each NextDeviceList reads one whole list,
    // the first at once and then one at every change.
    int TrackDevices(Socket& socket);
    int NextDeviceList(Socket& socket, std::string* listing);

    const std::string& last_error() const { return error_; }

private:
    int Fail(int code, const std::string& message);
    int Open(Socket* socket, int io_ms);
    int ReadStatus(Socket& socket);
    int ReadLengthPrefixed(Socket& socket, std::string* text);
    int Request(Socket& socket, const std::string& payload);
    int OpenService(Socket* socket, const std::string& serial, const std::string& service, int io_ms);
    int ReadSyncFail(Socket& socket, std::uint32_t length);
    int SendFile(Socket& socket, const std::string& local_path, const std::string& remote_path, std::uint32_t mode);
    int ReceiveFile(Socket& socket, const std::string& remote_path, const std::string& local_path, bool* created);

    // Milliseconds left of the request's total bound (INT_MAX without one).
    int Left() const;

    ClientOptions options_;
    std::chrono::steady_clock::time_point deadline_;
    std::string error_;
};

bool ValidSerial(const std::string& serial);  // empty is valid: any device

}  // namespace adb
