// Flows compared as text: the log reader and the expected transcripts kept in
// tests/unit/transcripts/<flow>.txt (compiled into the test binary, so Wine runs find them too).
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace USB {
namespace Fake {

// A file the library wrote in text mode, as written: Windows stores each "\n" as "\r\n".
std::string UnixLines(const std::string& text);
// The log's messages, one a line, without their "date time [file,line]: " prefix.
std::string LogMessages(const std::string& logText);
// The lines of text that contain one of the needles, in order.
std::string LinesWith(const std::string& text, const std::vector<std::string>& needles);
// The log lines a flow is compared by: host messages aside, only those that decide a flow or
// that support looks for (each entry whole, with the lines its text spans); a run of equal
// blocks of entries reads once, as "Nx {" block "}".
std::string KeptLog(const std::string& logText);
// How many times needle occurs in text.
size_t CountOf(const std::string& text, const std::string& needle);

// Equal to the kept transcript; on a difference it shows the first differing line and the whole
// actual text, ready to review and keep.
::testing::AssertionResult MatchesTranscript(const std::string& name, const std::string& actual);

}  // namespace Fake
}  // namespace USB
