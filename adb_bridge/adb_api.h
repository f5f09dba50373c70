// What the exported functions do, minus Windows: argument checks, client
// calls, copying into caller buffers. Results are the IUSB_* codes of
// adb_bridge.h, and nothing here lets an exception out.
#pragma once

#include <string>

#include "adb_bridge.h"
#include "adb_client.h"
#include "adb_tracker.h"

namespace adb {

// Runs an entry point's body; nothing it throws crosses the library's boundary.
template <typename F>
int Guarded(F body)
{
    try {
        return body();
    } catch (...) {
        return ERR_INTERNAL;
    }
}

// Copies text into a caller's buffer, NUL-terminated, never past `size`.
// With whole_lines it never writes part of a line.
// Returns bytes written, or IUSB_ERR_ARGUMENT for an unusable buffer.
int CopyOut(const std::string& text, char* buf, int size, bool whole_lines);

// What is on the server's port: a server that answers, a program that holds the port and
// accepts connections but does not answer (within the options' bounds), or nothing.
enum class ServerState { kAnswers, kHeld, kAbsent };
ServerState ProbeServer(const ClientOptions& options);
int ApiVersion(const ClientOptions& options);
int ApiKill(const ClientOptions& options);
int ApiGetDevices(const ClientOptions& options, char* buf, int size);
int ApiShell(const ClientOptions& options, const char* serial, const char* command, char* out, int out_size);
int ApiForward(const ClientOptions& options, const char* serial, const char* local, const char* remote);
int ApiInstall(const ClientOptions& options, const char* serial, const char* apk_path, char* out, int out_size);
int ApiUninstall(const ClientOptions& options, const char* serial, const char* package, char* out, int out_size);
int ApiPull(const ClientOptions& options, const char* serial, const char* remote_path, const char* local_path);

int ApiWaitDeviceListChange(DeviceTracker& tracker, unsigned last, unsigned timeout_ms, unsigned* generation);
int ApiTrackedDevices(DeviceTracker& tracker, char* buf, int size, unsigned* generation);

}  // namespace adb
