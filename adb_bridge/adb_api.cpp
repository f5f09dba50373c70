#include "adb_api.h"

#include <cstring>
#include <new>

#include "adb_bridge.h"
#include "adb_protocol.h"

namespace adb {

namespace {

// Reads a caller's C string without running past `max` bytes.
bool Text(const char* s, std::size_t max, std::string* out)
{
    if (s == nullptr)
        return false;
    std::size_t n = 0;
    while (n <= max && s[n] != '\0')
        ++n;
    if (n > max)
        return false;
    out->assign(s, n);
    return true;
}

bool Serial(const char* s, std::string* out)
{
    if (s == nullptr) {
        out->clear();
        return true;
    }
    return Text(s, IUSB_MAX_TEXT, out);
}

// Output buffers are optional (null with size 0) unless `required`.
bool OutBuffer(char* out, int size, bool required)
{
    if (out == nullptr)
        return !required && size == 0;
    return size > 0 && size <= IUSB_MAX_BUFFER;
}

void Clear(char* out, int size)
{
    if (out != nullptr && size > 0)
        out[0] = '\0';
}

std::size_t Keep(int size)
{
    return size > 0 ? static_cast<std::size_t>(size - 1) : 0;
}

}  // namespace

int CopyOut(const std::string& text, char* buf, int size, bool whole_lines)
{
    if (!OutBuffer(buf, size, true))
        return ERR_ARGUMENT;
    std::size_t capacity = static_cast<std::size_t>(size);
    std::size_t n =
        whole_lines ? FitOnLineBoundary(text, capacity) : (text.size() < capacity ? text.size() : capacity - 1);
    if (n > 0)
        std::memcpy(buf, text.data(), n);
    buf[n] = '\0';
    return static_cast<int>(n);
}

ServerState ProbeServer(const ClientOptions& options)
{
    int version = 0;
    const int rc = Guarded([&] { return Client(options).Version(&version); });
    return rc == OK ? ServerState::kAnswers : rc == ERR_CONNECT ? ServerState::kAbsent : ServerState::kHeld;
}

int ApiVersion(const ClientOptions& options)
{
    return Guarded([&] {
        int version = 0;
        int rc = Client(options).Version(&version);
        return rc == OK ? version : rc;
    });
}

int ApiKill(const ClientOptions& options)
{
    return Guarded([&] { return Client(options).Kill(); });
}

int ApiGetDevices(const ClientOptions& options, char* buf, int size)
{
    if (!OutBuffer(buf, size, true))
        return ERR_ARGUMENT;
    Clear(buf, size);
    return Guarded([&] {
        std::string listing;
        int rc = Client(options).Devices(&listing);
        return rc == OK ? CopyOut(listing, buf, size, true) : rc;
    });
}

int ApiShell(const ClientOptions& options, const char* serial, const char* command, char* out, int out_size)
{
    if (!OutBuffer(out, out_size, false))
        return ERR_ARGUMENT;
    Clear(out, out_size);
    return Guarded([&] {
        std::string s, c, output;
        if (!Serial(serial, &s) || !Text(command, IUSB_MAX_COMMAND, &c) || c.empty())
            return static_cast<int>(ERR_ARGUMENT);
        int rc = Client(options).Shell(s, c, &output, Keep(out_size));
        if (rc != OK)
            return rc;
        return out ? CopyOut(output, out, out_size, false) : 0;
    });
}

int ApiForward(const ClientOptions& options, const char* serial, const char* local, const char* remote)
{
    return Guarded([&] {
        std::string s, l, r;
        if (!Serial(serial, &s) || !Text(local, IUSB_MAX_TEXT, &l) || !Text(remote, IUSB_MAX_TEXT, &r))
            return static_cast<int>(ERR_ARGUMENT);
        return Client(options).Forward(s, l, r);
    });
}

namespace {
enum class PackageOp { kInstall, kUninstall };

// Install and uninstall hand back pm's words, or ours when pm never ran.
int PackageCall(PackageOp op, const ClientOptions& options, const char* serial, const char* arg, char* out,
                int out_size)
{
    if (!OutBuffer(out, out_size, false))
        return ERR_ARGUMENT;
    Clear(out, out_size);
    return Guarded([&] {
        std::string s, a, output;
        if (!Serial(serial, &s) || !Text(arg, IUSB_MAX_TEXT, &a) || a.empty())
            return static_cast<int>(ERR_ARGUMENT);
        Client client(options);
        int rc = op == PackageOp::kInstall ? client.Install(s, a, &output, Keep(out_size))
                                           : client.Uninstall(s, a, &output, Keep(out_size));
        bool pm_ran = rc == OK || rc == ERR_COMMAND_FAILED;
        if (out)
            CopyOut(pm_ran ? output : client.last_error(), out, out_size, false);
        return rc;
    });
}
}  // namespace

int ApiInstall(const ClientOptions& options, const char* serial, const char* apk_path, char* out, int out_size)
{
    return PackageCall(PackageOp::kInstall, options, serial, apk_path, out, out_size);
}

int ApiUninstall(const ClientOptions& options, const char* serial, const char* package, char* out, int out_size)
{
    return PackageCall(PackageOp::kUninstall, options, serial, package, out, out_size);
}

int ApiPull(const ClientOptions& options, const char* serial, const char* remote_path, const char* local_path)
{
    return Guarded([&] {
        std::string s, remote, local;
        if (!Serial(serial, &s) || !Text(remote_path, IUSB_MAX_TEXT, &remote) ||
            !Text(local_path, IUSB_MAX_TEXT, &local))
            return static_cast<int>(ERR_ARGUMENT);
        return Client(options).Pull(s, remote, local);
    });
}

int ApiWaitDeviceListChange(DeviceTracker& tracker, unsigned last, unsigned timeout_ms, unsigned* generation)
{
    return Guarded([&] {
        unsigned seen = 0;
        const int rc = tracker.Wait(last, timeout_ms, &seen);
        if (generation)
            *generation = seen;
        return rc;
    });
}

int ApiTrackedDevices(DeviceTracker& tracker, char* buf, int size, unsigned* generation)
{
    if (!OutBuffer(buf, size, true))
        return ERR_ARGUMENT;
    Clear(buf, size);
    return Guarded([&] {
        std::string listing;
        unsigned seen = 0;
        const int rc = tracker.Listing(&listing, &seen);
        if (generation)
            *generation = seen;
        return rc == OK ? CopyOut(listing, buf, size, true) : rc;
    });
}

}  // namespace adb
