#include "adb_client.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <thread>

#include "adb_protocol.h"

namespace adb {

bool ValidSerial(const std::string& serial)
{
    return serial.empty() || (serial.size() <= 256 && IsPlainToken(serial, ";"));
}

Client::Client(const ClientOptions& options)
    : options_(options), deadline_(std::chrono::steady_clock::now() + std::chrono::milliseconds(options.total_ms))
{
}

int Client::Left() const
{
    if (options_.total_ms <= 0)
        return INT_MAX;
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - std::chrono::steady_clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

int Client::Fail(int code, const std::string& message)
{
    error_ = message;
    return code;
}

int Client::Open(Socket* socket, int io_ms)
{
    const int left = Left();
    if (left == 0)
        return Fail(ERR_IO, "no time left for the request");
    if (!socket->Connect(options_.port, std::min(options_.connect_ms, left), io_ms))
        return Fail(ERR_CONNECT, "no ADB server on port " + std::to_string(options_.port));
    if (options_.total_ms > 0)
        socket->SetDeadline(deadline_);
    return OK;
}

int Client::ReadLengthPrefixed(Socket& socket, std::string* text)
{
    char hex[4];
    std::size_t length = 0;
    if (!socket.RecvExact(hex, 4))
        return Fail(ERR_IO, "connection closed before the length");
    if (!ParseHex4(hex, &length))
        return Fail(ERR_PROTOCOL, "malformed length in answer");
    text->assign(length, '\0');
    if (length > 0 && !socket.RecvExact(&(*text)[0], length))
        return Fail(ERR_IO, "connection closed inside the answer");
    return OK;
}

int Client::ReadStatus(Socket& socket)
{
    char status[4];
    if (!socket.RecvExact(status, 4))
        return Fail(ERR_IO, "connection closed before the status");
    switch (ParseStatus(status)) {
    case Status::kOkay:
        return OK;
    case Status::kFail: {
        std::string message;
        int rc = ReadLengthPrefixed(socket, &message);
        if (rc != OK)
            return rc;
        return Fail(ERR_SERVER_FAIL, message.empty() ? "server answered FAIL" : message);
    }
    default:
        return Fail(ERR_PROTOCOL, "unexpected status from server");
    }
}

int Client::Request(Socket& socket, const std::string& payload)
{
    std::string framed;
    if (!EncodeRequest(payload, &framed))
        return Fail(ERR_ARGUMENT, "request too long");
    if (!socket.SendAll(framed.data(), framed.size()))
        return Fail(ERR_IO, "could not send request");
    return ReadStatus(socket);
}

int Client::OpenService(Socket* socket, const std::string& serial, const std::string& service, int io_ms)
{
    if (!ValidSerial(serial))
        return Fail(ERR_ARGUMENT, "invalid serial");
    int rc = Open(socket, io_ms);
    if (rc == OK)
        rc = Request(*socket, TransportRequest(serial));
    if (rc == OK)
        rc = Request(*socket, service);
    return rc;
}

int Client::Version(int* version)
{
    Socket socket;
    std::string payload;
    int rc = Open(&socket, options_.io_ms);
    if (rc == OK)
        rc = Request(socket, "host:version");
    if (rc == OK)
        rc = ReadLengthPrefixed(socket, &payload);
    if (rc == OK && !ParseVersion(payload, version))
        rc = Fail(ERR_PROTOCOL, "malformed version: " + payload);
    return rc;
}

int Client::Devices(std::string* listing)
{
    Socket socket;
    int rc = Open(&socket, options_.io_ms);
    if (rc == OK)
        rc = Request(socket, "host:devices");
    if (rc == OK)
        rc = ReadLengthPrefixed(socket, listing);
    return rc;
}

int Client::TrackDevices(Socket& socket)
{
    return Request(socket, "host:track-devices");
}

int Client::NextDeviceList(Socket& socket, std::string* listing)
{
    return ReadLengthPrefixed(socket, listing);
}

int Client::Kill()
{
    Socket socket;
    int rc = Open(&socket, options_.io_ms);
    if (rc == OK)
        rc = Request(socket, "host:kill");
    if (rc != OK)
        return rc;
    char sink[64];
    while (socket.RecvSome(sink, sizeof sink) > 0) {}
    socket.Close();
    // A caller that starts a server next must not find the old one still bound.
    for (int i = 0; i < 40 && Left() > 0; ++i) {
        Socket probe;
        if (!probe.Connect(options_.port, std::min(options_.connect_ms, Left()), options_.io_ms))
            return OK;
        probe.Close();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return OK;
}

int Client::Shell(const std::string& serial, const std::string& command, std::string* output, std::size_t keep)
{
    output->clear();
    if (command.empty())
        return Fail(ERR_ARGUMENT, "empty shell command");
    if (command.size() > kMaxRequestLength - 6)
        return Fail(ERR_ARGUMENT, "shell command too long");
    Socket socket;
    int rc = OpenService(&socket, serial, "shell:" + command, options_.command_ms);
    if (rc != OK)
        return rc;
    char buffer[4096];
    for (;;) {
        long n = socket.RecvSome(buffer, sizeof buffer);
        if (n == 0)
            return OK;
        if (n < 0)
            return Fail(ERR_IO, "shell output interrupted");
        std::size_t room = keep > output->size() ? keep - output->size() : 0;
        output->append(buffer, static_cast<std::size_t>(n) < room ? static_cast<std::size_t>(n) : room);
    }
}

int Client::Forward(const std::string& serial, const std::string& local, const std::string& remote)
{
    if (!ValidSerial(serial) || !IsPlainToken(local, ";") || !IsPlainToken(remote, ";"))
        return Fail(ERR_ARGUMENT, "invalid forward arguments");
    std::string request = ForwardRequest(serial, local, remote);
    if (request.size() > kMaxRequestLength)
        return Fail(ERR_ARGUMENT, "forward request too long");
    Socket socket;
    int rc = Open(&socket, options_.io_ms);
    // The first OKAY accepts the request, the second confirms the listener.
    if (rc == OK)
        rc = Request(socket, request);
    if (rc == OK)
        rc = ReadStatus(socket);
    return rc;
}

int Client::Install(const std::string& serial, const std::string& local_apk, std::string* output, std::size_t keep)
{
    output->clear();
    std::string remote = RemoteInstallPath(local_apk);
    if (remote.empty())
        return Fail(ERR_ARGUMENT, "no file name in package path");
    int rc = Push(serial, local_apk, remote);
    if (rc != OK)
        return rc;
    rc = Shell(serial, "pm install -r " + ShellQuote(remote), output, keep);
    std::string ignored;
    std::string install_error = error_;
    Shell(serial, "rm -f " + ShellQuote(remote), &ignored, 0);  // best effort cleanup
    error_ = install_error;
    if (rc != OK)
        return rc;
    if (!PackageManagerSucceeded(*output))
        return Fail(ERR_COMMAND_FAILED, *output);
    return OK;
}

int Client::Uninstall(const std::string& serial, const std::string& package, std::string* output, std::size_t keep)
{
    output->clear();
    if (!IsValidPackageName(package))
        return Fail(ERR_ARGUMENT, "invalid package name");
    int rc = Shell(serial, "pm uninstall " + package, output, keep);
    if (rc != OK)
        return rc;
    if (!PackageManagerSucceeded(*output))
        return Fail(ERR_COMMAND_FAILED, *output);
    return OK;
}

}  // namespace adb
