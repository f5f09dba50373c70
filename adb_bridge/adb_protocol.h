// Framing and parsing for the ADB host protocol. Pure functions only: no
// sockets, no files, so every rule here can be tested in isolation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace adb {

constexpr int kDefaultServerPort = 5037;
constexpr std::size_t kMaxRequestLength = 0xFFFF;  // four hex digits
constexpr std::size_t kSyncMaxChunk = 64 * 1024;   // largest DATA block
constexpr std::size_t kSyncMaxPath = 1024;         // devices refuse longer

// "000chost:version" for "host:version"; false if the text cannot be framed.
bool EncodeRequest(const std::string& payload, std::string* framed);

// Four hex digits (either case) to a number; false on anything else.
bool ParseHex4(const char* four, std::size_t* value);
std::string FormatHex4(unsigned value);

enum class Status { kOkay, kFail, kInvalid };
Status ParseStatus(const char* four);

// host:version carries the number as four hex digits.
bool ParseVersion(const std::string& payload, int* version);

// Bytes of `text` to keep so that they plus a terminating NUL fit in
// `capacity`; when it has to cut, it keeps only complete lines.
std::size_t FitOnLineBoundary(const std::string& text, std::size_t capacity);

// Value of ANDROID_ADB_SERVER_PORT (may be null) or the default port.
int ParsePortOrDefault(const char* value);

// Service requests.
std::string TransportRequest(const std::string& serial);  // "" = any device
std::string ForwardRequest(const std::string& serial, const std::string& local, const std::string& remote);

// Sync headers: four-letter id plus a little-endian 32-bit word.
std::string SyncHeader(const char* id, std::uint32_t value);
void ParseSyncHeader(const char* eight, std::string* id, std::uint32_t* value);

// Where a local file goes before "pm install": the device's temp folder.
std::string RemoteInstallPath(const std::string& local_path);
// Single-quoted for the device shell, so spaces and metacharacters stay inert.
std::string ShellQuote(const std::string& arg);
// Package names are dotted identifiers; anything else never reaches a shell.
bool IsValidPackageName(const std::string& name);
// Serials, forward addresses: printable, no separators the server would split on.
bool IsPlainToken(const std::string& text, const char* forbidden);
// pm prints "Success" on its own line when it did the job.
bool PackageManagerSucceeded(const std::string& output);

// Where "adb start-server" may be run from, in order: adb.exe in the host executable's folder
// (`exe_dir`, with its closing separator), then the first adb.exe and the first adb found in the
// absolute folders of `path_env` (Windows PATH syntax). Relative PATH entries, and with them the
// current folder, are never searched.
std::vector<std::string> AdbProgramCandidates(const std::string& exe_dir, const std::string& path_env,
                                              bool (*is_file)(const std::string& path));

}  // namespace adb
