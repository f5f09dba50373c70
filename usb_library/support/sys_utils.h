// Small shared helpers: directories, file sizes, Windows version names,
// neighbouring ids, the track time stamp and Windows error texts.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "support/file_io.h"
#include "support/ports/ports.h"

namespace USB {

// The local time of `when`; false when it cannot be had (the platform's thread-safe call).
bool LocalTimeOf(std::time_t when, std::tm& out);

// Directory of the host process's executable, with its closing separator.
std::string GetExeDirectory();

// Version name from the facts the OS reports (pure table, testable for every row).
std::string OsNameFromFacts(const OsVersionFacts& facts);
std::string GetOsName();
// "x64" on 64-bit Windows (a 64-bit build, or the 32-bit one under WOW64), else "x86".
std::string GetPlatformName();

// Neighbouring hex ids, "%04x"-formatted (lower case); empty when the id is not above 0.
std::string HexIdPlusOne(const std::string& id);
std::string HexIdMinusOne(const std::string& id);

// A diagnostic the log cannot take (or that never went there): to the debugger's output. The DLL
// writes nothing to the host's standard output, which a console host owns.
void DebugLine(const std::string& text);

// Local time through strftime (a 128-byte buffer).
std::string FormatLocalTime(const char* format);
// Local time as "%Y-%m-%d-%H:%M:%S".
std::string FormatTrackTime();
// The system's message text for a Windows error code.
std::string GetWindowsErrorText(uint32_t code);

std::string ToUpperAscii(std::string text);
std::string ToLowerAscii(std::string text);

}  // namespace USB
