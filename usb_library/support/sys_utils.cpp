#include "support/sys_utils.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace USB {

std::string GetExeDirectory()
{
    std::string path = GetPorts().system->ExecutablePath();
    const size_t cut = path.find_last_of(kPathSep);
    if (cut == std::string::npos)
        return std::string(1, kPathSep);
    return path.substr(0, cut + 1);
}

std::string OsNameFromFacts(const OsVersionFacts& f)
{
    if (!f.ok)
        return std::string();
    constexpr uint32_t kWin32Windows = 1, kWin32Nt = 2;
    constexpr uint8_t kWorkstation = 1;
    constexpr uint16_t kAmd64 = 9;
    const bool workstation = f.productType == kWorkstation;
    switch (f.major) {
    case 4:
        if (f.minor == 0 && f.platformId == kWin32Nt)
            return "Microsoft Windows NT 4.0";
        if (f.minor == 0 && f.platformId == kWin32Windows)
            return "Microsoft Windows 95";
        if (f.minor == 10)
            return "Microsoft Windows 98";
        if (f.minor == 90)
            return "Microsoft Windows Me";
        return std::string();
    case 5:
        if (f.minor == 0)
            return "Microsoft Windows 2000";
        if (f.minor == 1)
            return "xp";
        if (f.minor == 2) {
            if (workstation && f.processorArchitecture == kAmd64)
                return "xp";
            return f.serverR2 == 0 ? "Microsoft Windows Server 2003" : "Microsoft Windows Server 2003 R2";
        }
        return std::string();
    case 6:
        if (f.minor == 0)
            return workstation ? "vista" : "Microsoft Windows Server 2008";
        if (f.minor == 1)
            return workstation ? "win7" : "Microsoft Windows Server 2008 R2";
        if (f.minor == 2)
            return "win8";
        return std::string();
    default:
        return "xp";
    }
}

std::string GetOsName()
{
    return OsNameFromFacts(GetPorts().system->OsVersion());
}

std::string GetPlatformName()
{
    // A 64-bit build runs on x64 Windows only; the 32-bit one there runs under WOW64.
    SystemPort& system = *GetPorts().system;
    return system.Is64BitProcess() || system.Wow64State() == SystemPort::Wow64::Yes ? "x64" : "x86";
}

namespace {

// Reads like "%x": optional blanks, optional 0x, digits up to the first non-hex character.
// Kept to 32 bits on every platform so both builds agree on long ids.
uint32_t ReadHexId(const std::string& id)
{
    size_t i = 0;
    while (i < id.size() && std::isspace(static_cast<unsigned char>(id[i])))
        ++i;
    if (i + 1 < id.size() && id[i] == '0' && (id[i + 1] == 'x' || id[i + 1] == 'X'))
        i += 2;
    uint32_t value = 0;
    for (; i < id.size() && std::isxdigit(static_cast<unsigned char>(id[i])); ++i) {
        const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(id[i])));
        value = value * 16 + static_cast<uint32_t>(c <= '9' ? c - '0' : c - 'a' + 10);
    }
    return value;
}

std::string NeighbourId(const std::string& id, int delta)
{
    const uint32_t value = ReadHexId(id);
    if (value == 0)
        return std::string();
    char buffer[32];
    std::snprintf(buffer, sizeof(buffer), "%04x", static_cast<unsigned>(value + static_cast<uint32_t>(delta)));
    return buffer;
}

}  // namespace

std::string HexIdPlusOne(const std::string& id)
{
    return NeighbourId(id, 1);
}

std::string HexIdMinusOne(const std::string& id)
{
    return NeighbourId(id, -1);
}

std::string FormatLocalTime(const char* format)
{
    char buffer[128] = {0};
    std::time_t now = std::time(nullptr);
    std::tm local{};
    LocalTimeOf(now, local);
    std::strftime(buffer, sizeof(buffer), format, &local);
    return buffer;
}

std::string FormatTrackTime()
{
    return FormatLocalTime("%Y-%m-%d-%H:%M:%S");
}

std::string GetWindowsErrorText(uint32_t code)
{
    return GetPorts().system->ErrorText(code);
}

std::string ToUpperAscii(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string ToLowerAscii(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

void DebugLine(const std::string& text)
{
    GetPorts().system->DebugOutput(text);
}

}  // namespace USB
