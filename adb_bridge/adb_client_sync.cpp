// File transfer over the sync service: SEND/DATA/DONE to push,
// RECV/DATA/DONE to pull, QUIT to leave sync mode.
#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

#include "adb_client.h"
#include "adb_protocol.h"

namespace adb {

namespace {
struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

bool SendSync(Socket& socket, const char* id, std::uint32_t value, const std::string& body = "")
{
    std::string packet = SyncHeader(id, value) + body;
    return socket.SendAll(packet.data(), packet.size());
}

bool ValidRemotePath(const std::string& path)
{
    return !path.empty() && path.size() <= kSyncMaxPath && path.find('\0') == std::string::npos;
}
}  // namespace

int Client::ReadSyncFail(Socket& socket, std::uint32_t length)
{
    if (length > kSyncMaxChunk)
        return Fail(ERR_PROTOCOL, "oversized sync failure message");
    std::string message(length, '\0');
    if (length > 0 && !socket.RecvExact(&message[0], length))
        return Fail(ERR_IO, "connection closed inside sync failure");
    return Fail(ERR_SERVER_FAIL, message.empty() ? "device refused the transfer" : message);
}

int Client::SendFile(Socket& socket, const std::string& local_path, const std::string& remote_path, std::uint32_t mode)
{
    File file(std::fopen(local_path.c_str(), "rb"));
    if (!file)
        return Fail(ERR_LOCAL_FILE, "cannot open " + local_path);
    std::string target = remote_path + "," + std::to_string(mode);
    if (!SendSync(socket, "SEND", static_cast<std::uint32_t>(target.size()), target))
        return Fail(ERR_IO, "could not start the push");
    std::vector<char> chunk(kSyncMaxChunk);
    for (;;) {
        std::size_t n = std::fread(chunk.data(), 1, chunk.size(), file.get());
        if (n > 0 && !SendSync(socket, "DATA", static_cast<std::uint32_t>(n), std::string(chunk.data(), n)))
            return Fail(ERR_IO, "push interrupted");
        if (n < chunk.size())
            break;
    }
    if (std::ferror(file.get()))
        return Fail(ERR_LOCAL_FILE, "read error on " + local_path);
    if (!SendSync(socket, "DONE", static_cast<std::uint32_t>(std::time(nullptr))))
        return Fail(ERR_IO, "push interrupted");
    char header[8];
    if (!socket.RecvExact(header, 8))
        return Fail(ERR_IO, "no answer to the push");
    std::string id;
    std::uint32_t value = 0;
    ParseSyncHeader(header, &id, &value);
    if (id == "OKAY")
        return OK;
    if (id == "FAIL")
        return ReadSyncFail(socket, value);
    return Fail(ERR_PROTOCOL, "unexpected answer to the push");
}

int Client::ReceiveFile(Socket& socket, const std::string& remote_path, const std::string& local_path, bool* created)
{
    if (!SendSync(socket, "RECV", static_cast<std::uint32_t>(remote_path.size()), remote_path))
        return Fail(ERR_IO, "could not start the pull");
    File file;
    std::vector<char> chunk(kSyncMaxChunk);
    for (;;) {
        char header[8];
        if (!socket.RecvExact(header, 8))
            return Fail(ERR_IO, "pull interrupted");
        std::string id;
        std::uint32_t length = 0;
        ParseSyncHeader(header, &id, &length);
        if (id == "FAIL")
            return ReadSyncFail(socket, length);
        // Create the file only once the device agreed, so a refusal leaves none.
        if (!file) {
            file.reset(std::fopen(local_path.c_str(), "wb"));
            if (!file)
                return Fail(ERR_LOCAL_FILE, "cannot create " + local_path);
            *created = true;
        }
        if (id == "DONE")
            break;
        if (id != "DATA" || length > kSyncMaxChunk)
            return Fail(ERR_PROTOCOL, "unexpected packet in pull");
        if (length > 0 && !socket.RecvExact(chunk.data(), length))
            return Fail(ERR_IO, "pull interrupted");
        if (std::fwrite(chunk.data(), 1, length, file.get()) != length)
            return Fail(ERR_LOCAL_FILE, "write error on " + local_path);
    }
    if (std::fclose(file.release()) != 0)
        return Fail(ERR_LOCAL_FILE, "write error on " + local_path);
    return OK;
}

int Client::Push(const std::string& serial, const std::string& local_path, const std::string& remote_path,
                 std::uint32_t mode)
{
    if (local_path.empty() || !ValidRemotePath(remote_path))
        return Fail(ERR_ARGUMENT, "invalid push paths");
    Socket socket;
    int rc = OpenService(&socket, serial, "sync:", options_.io_ms);
    if (rc == OK)
        rc = SendFile(socket, local_path, remote_path, mode);
    if (rc == OK)
        SendSync(socket, "QUIT", 0);
    return rc;
}

int Client::Pull(const std::string& serial, const std::string& remote_path, const std::string& local_path)
{
    if (local_path.empty() || !ValidRemotePath(remote_path))
        return Fail(ERR_ARGUMENT, "invalid pull paths");
    Socket socket;
    int rc = OpenService(&socket, serial, "sync:", options_.io_ms);
    bool created = false;
    if (rc == OK)
        rc = ReceiveFile(socket, remote_path, local_path, &created);
    if (rc == OK)
        SendSync(socket, "QUIT", 0);
    // Never leave a half-written file that looks like a finished pull.
    if (rc != OK && created)
        std::remove(local_path.c_str());
    return rc;
}

}  // namespace adb
