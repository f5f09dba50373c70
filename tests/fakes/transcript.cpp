#include "fakes/transcript.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>
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

namespace {

std::string WithoutCr(std::string text)
{
    for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at))
        text.erase(at, 1);
    return text;
}

const char* KeptText(const std::string& name)
{
    for (const KeptTranscript* t = kKeptTranscripts; t->name; ++t)
        if (name == t->name)
            return t->text;
    return nullptr;
}

}  // namespace

std::string UnixLines(const std::string& text)
{
#ifdef _WIN32
    return WithoutCr(text);
#else
    return text;  // no text-mode translation here; a "\r\n" the library wrote itself stays
#endif
}

namespace {

// Where a line of the log starts a new entry: "date time [file,line]: text".
size_t MessageStart(const std::string& line)
{
    const size_t place = line.find("]: ");
    return line.size() > 20 && line[19] == ' ' && line[20] == '[' && place != std::string::npos ? place + 3
                                                                                                : std::string::npos;
}

const char* const kKeptLog[] = {
    "adbdevices:",
    "wait 15 soconds, no find",
    "phone is not exist",
    "belongs to another device",
    "is an emulator",
    "this device had been pluged out",
    "stop all operation",
    "relay:",
    "adbserver to list",
    "adbserver lists",
    "answer waits for its end",
    "left before its arrival",
    "this device is not phone",
    "not the one that was checked",
};

}  // namespace

std::string KeptLog(const std::string& logText)
{
    std::istringstream in(UnixLines(logText));
    std::vector<std::string> entries;
    std::string line;
    bool keep = false;
    while (std::getline(in, line)) {
        const size_t start = MessageStart(line);
        if (start != std::string::npos) {
            const std::string text = line.substr(start);
            keep = std::any_of(std::begin(kKeptLog), std::end(kKeptLog),
                               [&](const char* needle) { return text.find(needle) != std::string::npos; });
            if (keep)
                entries.push_back(text + '\n');
        } else if (keep) {
            entries.back() += line + '\n';
        }
    }
    // A run of equal blocks of up to four entries reads once: "15x {" block "}".
    std::string out;
    for (size_t i = 0; i < entries.size();) {
        size_t size = 1, times = 1;
        for (size_t k = 1; k <= 4; ++k) {
            size_t n = 1;
            while (i + (n + 1) * k <= entries.size() &&
                   std::equal(entries.begin() + i, entries.begin() + i + k, entries.begin() + i + n * k))
                ++n;
            if (n > 1 && n * k > times * size)
                size = k, times = n;
        }
        std::string block;
        for (size_t j = i; j < i + size; ++j)
            block += entries[j];
        out += times == 1 ? block : std::to_string(times) + "x {\n" + block + "}\n";
        i += size * times;
    }
    return out;
}

std::string LogMessages(const std::string& logText)
{
    std::istringstream in(UnixLines(logText));
    std::string out, line;
    while (std::getline(in, line)) {
        const size_t start = MessageStart(line);
        out += (start != std::string::npos ? line.substr(start) : line) + '\n';
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
    for (size_t at = text.find(needle); !needle.empty() && at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

// Compared line by line whatever the line ends: the compiler reads the kept files' line ends as
// "\n", while a flow may carry "\r\n" (HTTP headers, files written in text mode on Windows).
::testing::AssertionResult MatchesTranscript(const std::string& name, const std::string& flow)
{
    const std::string kept = WithoutCr(KeptText(name) ? KeptText(name) : "");
    const std::string actual = WithoutCr(flow);
    if (KeptText(name) && kept == actual)
        return ::testing::AssertionSuccess();
    // USBHELPER_KEEP_TRANSCRIPTS=<folder> writes what the flow did there, to review and keep.
    if (const char* keep = std::getenv("USBHELPER_KEEP_TRANSCRIPTS"))
        std::ofstream(std::string(keep) + "/" + name + ".txt", std::ios::binary) << actual;
    size_t same = 0;
    while (same < kept.size() && same < actual.size() && kept[same] == actual[same])
        ++same;
    const size_t line = kept.rfind('\n', same) == std::string::npos ? 0 : kept.rfind('\n', same) + 1;
    return ::testing::AssertionFailure() << "transcript " << name << (KeptText(name) ? "" : " is missing")
                                         << " differs from: " << kept.substr(line, kept.find('\n', line) - line)
                                         << "\n---- actual " << name << ".txt ----\n"
                                         << actual << "---- end ----";
}

}  // namespace Fake
}  // namespace USB
