#include "fakes/transcript.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace USB {
namespace Fake {

struct KeptTranscript {
    const char* name;
    const char* text;
};
// Generated from tests/unit/transcripts by transcripts.cmake; ends with a null row.
extern const KeptTranscript kKeptTranscripts[];

std::string UnixLines(const std::string& text)
{
#ifndef _WIN32
    return text;  // no text-mode translation here; a "\r\n" the library wrote itself stays
#endif
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
            out += text[i];
    return out;
}

std::string LogMessages(const std::string& logText)
{
    std::istringstream in(UnixLines(logText));
    std::string out, line;
    while (std::getline(in, line)) {
        const size_t place = line.find("]: ");
        out += (line.size() > 20 && line[19] == ' ' && line[20] == '[' && place != std::string::npos)
                   ? line.substr(place + 3)
                   : line;
        out += '\n';
    }
    return out;
}

std::string LinesWith(const std::string& text, const std::vector<std::string>& needles)
{
    std::istringstream in(text);
    std::string out, line;
    while (std::getline(in, line))
        for (const std::string& needle : needles)
            if (line.find(needle) != std::string::npos) {
                out += line + '\n';
                break;
            }
    return out;
}

size_t CountOf(const std::string& text, const std::string& needle)
{
    size_t n = 0;
    for (size_t pos = text.find(needle); !needle.empty() && pos != std::string::npos; pos = text.find(needle, pos + 1))
        ++n;
    return n;
}

std::string Transcript(const std::string& name)
{
    for (const KeptTranscript* t = kKeptTranscripts; t->name; ++t)
        if (name == t->name)
            return UnixLines(t->text);
    return std::string();
}

::testing::AssertionResult MatchesTranscript(const std::string& name, const std::string& actual)
{
    const std::string expected = Transcript(name);
    if (expected == actual && !expected.empty())
        return ::testing::AssertionSuccess();
    // USBHELPER_KEEP_TRANSCRIPTS=<folder> writes what the flow did there, to review and keep.
    if (const char* keep = std::getenv("USBHELPER_KEEP_TRANSCRIPTS"))
        std::ofstream(std::string(keep) + "/" + name + ".txt", std::ios::binary) << actual;
    std::istringstream a(expected), b(actual);
    std::string wanted, got;
    int line = 1;
    for (;; ++line) {
        const bool moreWanted = static_cast<bool>(std::getline(a, wanted));
        const bool moreGot = static_cast<bool>(std::getline(b, got));
        if (!moreWanted)
            wanted = "(end)";
        if (!moreGot)
            got = "(end)";
        if (wanted != got || (!moreWanted && !moreGot))
            break;
    }
    return ::testing::AssertionFailure() << "transcript " << name << (expected.empty() ? " is missing" : "")
                                         << ", line " << line << ":\n  kept:   " << wanted << "\n  actual: " << got
                                         << "\n---- actual " << name << ".txt ----\n"
                                         << actual << "---- end ----";
}

}  // namespace Fake
}  // namespace USB
