// Connection pipeline helpers shared with tests and benchmarks.
#pragma once

#include <string>
#include <vector>

namespace USB {

// Cuts text at every delimiter, left to right; empty pieces become `filler`. Empty text or an
// empty delimiter gives an empty list.
std::vector<std::string> SplitString(const std::string& text, const std::string& delimiter, const std::string& filler);

constexpr int kListingBufferSize = 4096;
constexpr int kFindAttempts = 15;
constexpr int kStatusAttempts = 10;
constexpr int kSerialFixAttempts = 5;

}  // namespace USB
