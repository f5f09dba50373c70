#include "adb_protocol.h"

#include <cctype>
#include <cstdlib>

namespace adb {

namespace {
int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}
}  // namespace

bool EncodeRequest(const std::string& payload, std::string* framed)
{
    if (payload.empty() || payload.size() > kMaxRequestLength)
        return false;
    *framed = FormatHex4(static_cast<unsigned>(payload.size())) + payload;
    return true;
}

bool ParseHex4(const char* four, std::size_t* value)
{
    std::size_t v = 0;
    for (int i = 0; i < 4; ++i) {
        int d = HexDigit(four[i]);
        if (d < 0)
            return false;
        v = v * 16 + static_cast<std::size_t>(d);
    }
    *value = v;
    return true;
}

std::string FormatHex4(unsigned value)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string out(4, '0');
    for (int i = 3; i >= 0; --i) {
        out[static_cast<std::size_t>(i)] = kDigits[value & 0xF];
        value >>= 4;
    }
    return out;
}

Status ParseStatus(const char* four)
{
    std::string s(four, 4);
    if (s == "OKAY")
        return Status::kOkay;
    if (s == "FAIL")
        return Status::kFail;
    return Status::kInvalid;
}

bool ParseVersion(const std::string& payload, int* version)
{
    std::size_t v = 0;
    if (payload.size() != 4 || !ParseHex4(payload.data(), &v))
        return false;
    *version = static_cast<int>(v);
    return true;
}

std::size_t FitOnLineBoundary(const std::string& text, std::size_t capacity)
{
    if (capacity == 0)
        return 0;
    if (text.size() < capacity)
        return text.size();
    std::size_t room = capacity - 1;
    if (room == 0)
        return 0;
    std::size_t last_newline = text.rfind('\n', room - 1);
    // Half a line would read as a device with a wrong serial or state.
    return last_newline == std::string::npos ? 0 : last_newline + 1;
}

int ParsePortOrDefault(const char* value)
{
    if (value == nullptr || *value == '\0')
        return kDefaultServerPort;
    char* end = nullptr;
    long port = std::strtol(value, &end, 10);
    if (*end != '\0' || port < 1 || port > 65535)
        return kDefaultServerPort;
    return static_cast<int>(port);
}

std::string TransportRequest(const std::string& serial)
{
    return serial.empty() ? "host:transport-any" : "host:transport:" + serial;
}

std::string ForwardRequest(const std::string& serial, const std::string& local, const std::string& remote)
{
    std::string prefix = serial.empty() ? "host:" : "host-serial:" + serial + ":";
    return prefix + "forward:" + local + ";" + remote;
}

std::string SyncHeader(const char* id, std::uint32_t value)
{
    std::string out(id, 4);
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    return out;
}

void ParseSyncHeader(const char* eight, std::string* id, std::uint32_t* value)
{
    id->assign(eight, 4);
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | static_cast<unsigned char>(eight[4 + i]);
    *value = v;
}

std::string RemoteInstallPath(const std::string& local_path)
{
    std::size_t slash = local_path.find_last_of("/\\");
    std::string base = slash == std::string::npos ? local_path : local_path.substr(slash + 1);
    return base.empty() ? std::string() : "/data/local/tmp/" + base;
}

std::string ShellQuote(const std::string& arg)
{
    std::string out = "'";
    for (char c : arg) {
        if (c == '\'')
            out += "'\\''";
        else
            out.push_back(c);
    }
    return out + "'";
}

bool IsValidPackageName(const std::string& name)
{
    if (name.empty() || name.size() > 255 || name.front() == '.' || name.back() == '.')
        return false;
    for (char c : name) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_';
        if (!ok)
            return false;
    }
    return true;
}

bool IsPlainToken(const std::string& text, const char* forbidden)
{
    if (text.empty())
        return false;
    for (char c : text) {
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7F)
            return false;
        for (const char* f = forbidden; *f; ++f)
            if (c == *f)
                return false;
    }
    return true;
}

bool PackageManagerSucceeded(const std::string& output)
{
    std::size_t pos = 0;
    while ((pos = output.find("Success", pos)) != std::string::npos) {
        bool line_start = pos == 0 || output[pos - 1] == '\n';
        std::size_t after = pos + 7;
        bool line_end = after == output.size() || output[after] == '\n' || output[after] == '\r';
        if (line_start && line_end)
            return true;
        pos = after;
    }
    return false;
}

namespace {

bool IsAbsoluteWindowsPath(const std::string& dir)
{
    const bool drive = dir.size() >= 3 && std::isalpha(static_cast<unsigned char>(dir[0])) && dir[1] == ':' &&
                       (dir[2] == '\\' || dir[2] == '/');
    const bool unc = dir.size() >= 3 && dir[0] == '\\' && dir[1] == '\\';
    return drive || unc;
}

}  // namespace

std::vector<std::string> AdbProgramCandidates(const std::string& exe_dir, const std::string& path_env,
                                              bool (*is_file)(const std::string& path))
{
    std::vector<std::string> found;
    if (!exe_dir.empty() && IsAbsoluteWindowsPath(exe_dir) && is_file(exe_dir + "adb.exe"))
        found.push_back(exe_dir + "adb.exe");
    std::vector<std::string> dirs;
    for (std::size_t start = 0; start <= path_env.size();) {
        std::size_t end = path_env.find(';', start);
        if (end == std::string::npos)
            end = path_env.size();
        std::string dir = path_env.substr(start, end - start);
        if (dir.size() >= 2 && dir.front() == '"' && dir.back() == '"')
            dir = dir.substr(1, dir.size() - 2);
        if (IsAbsoluteWindowsPath(dir)) {
            if (dir.back() != '\\' && dir.back() != '/')
                dir += '\\';
            dirs.push_back(dir);
        }
        start = end + 1;
    }
    for (const char* name : {"adb.exe", "adb"}) {
        for (const std::string& dir : dirs) {
            if (is_file(dir + name)) {
                found.push_back(dir + name);
                break;
            }
        }
    }
    return found;
}

}  // namespace adb
