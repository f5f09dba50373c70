// HTTP transport: one request with body and raw headers, a plain GET, and downloads to a file.
#pragma once

#include <cstdint>
#include <string>

#include "usbhelper.h"

namespace USB {

// Progress of DownFileVerified in whole percent; returning false stops the download.
using DownloadProgressFn = bool (*)(int32_t percent, void* context);

constexpr const char* kRequestAgent = "Mozilla/4.0 (compatible; MSIE 5.0; Windows NT 5.0)";
constexpr const char* kDownloadAgent = "DownFile";
constexpr const char* kAcceptHeader = "Accept: */*\r\n";
constexpr const char* kFormContentType = "Content-Type: application/x-www-form-urlencoded\r\n";

// What the cloud may send at most; anything larger is refused, never read on. Real answers
// are far smaller: an API answer is a few hundred bytes, device.md5 32, device.json a few
// kilobytes, a driver package some megabytes.
constexpr size_t kMaxAnswerBytes = 64 * 1024;
constexpr size_t kMaxDigestBytes = 256;
constexpr uint64_t kMaxWhitelistBytes = 4 * 1024 * 1024;
constexpr uint64_t kMaxPackageBytes = 1024ull * 1024 * 1024;
// Whole-transfer deadlines on the clock port: a server that trickles must not hold the
// service lock (every dispatch) for long. One read that gets nothing ends after kReceiveTimeoutMs.
constexpr uint32_t kAnswerDeadlineMs = 20 * 1000;
constexpr uint32_t kWhitelistDeadlineMs = 60 * 1000;
constexpr uint32_t kPackageDeadlineMs = 5 * 60 * 1000;
constexpr uint32_t kReceiveTimeoutMs = 15 * 1000;

// True when the raw headers were read, their status line says 200 and at least one body byte
// arrived, at most maxBody of them. The body and headers of any answer are kept for the log.
// A GET carries data in its URL, never as body. Only http:// and https:// (TLS) are asked.
bool HttpRequest(const std::string& method, const std::string& url, const std::string& data, uint32_t timeoutMs,
                 std::string& body, std::string& headers, size_t maxBody = kMaxAnswerBytes);
// The body of a 200 answer of at most maxBody bytes, else "".
std::string HttpGet(const std::string& url, size_t maxBody = kMaxAnswerBytes);
// True when the server answered 200, announced a length of at most kMaxWhitelistBytes and
// exactly that much was written and the file closed; otherwise the file it wrote is removed.
bool DownFile(const std::string& url, const std::string& path);
// DownFile for driver packages (at most kMaxPackageBytes), with progress and, when md5 is not
// null, a digest check.
bool DownFileVerified(const std::string& url, const std::string& path, const char* md5, DownloadProgressFn progress,
                      void* context);
bool IsNetworkAlive();
// The status line (the first header line) carries the code 200.
bool StatusIs200(const std::string& rawHeaders);

// received * 100 / total in whole percent, exact for every 64-bit size.
int32_t ProgressPercent(uint64_t received, uint64_t total);

}  // namespace USB
