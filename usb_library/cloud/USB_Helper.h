// HTTP transport: one request with body and raw headers, a plain GET, and downloads to a file.
#pragma once

#include <cstdint>
#include <string>

#include "usbhelper.h"

namespace USB {

// Progress of DownFileVerified in whole percent; returning -1 stops the download.
typedef int32_t(USB_CDECL* DownloadProgressFn)(int32_t percent, void* context);

constexpr const char* kRequestAgent = "Mozilla/4.0 (compatible; MSIE 5.0; Windows NT 5.0)";
constexpr const wchar_t* kDownloadAgent = L"DownFile";
constexpr const char* kAcceptHeader = "Accept: */*\r\n";
constexpr const char* kFormContentType = "Content-Type: application/x-www-form-urlencoded\r\n";

// True when the raw headers were read and at least one body byte arrived; the caller judges
// the status. A GET carries data in its URL, never as body.
bool HttpRequest(const std::string& method, const std::string& url, const std::string& data, uint32_t timeoutMs,
                 std::string& body, std::string& headers);
// The body of a "200 OK" answer, else "".
std::string HttpGet(const std::string& url);
// True when the server answered "200 OK", announced a length and exactly that much was written.
bool DownFile(const std::wstring& url, const std::string& path);
// DownFile with progress and, when md5 is not null, a digest check.
bool DownFileVerified(const std::wstring& url, const std::string& path, const char* md5,
                      DownloadProgressFn progress, void* context);
bool IsNetworkAlive();

// received * 100 / total in whole percent, exact for every 64-bit size.
int32_t ProgressPercent(uint64_t received, uint64_t total);

}  // namespace USB
