// The whitelist value in the current user's registry.
#pragma once

#include <string>

namespace USB {

// What reading the value came to.
constexpr int kRegistryRead = 0;         // the value's bytes (at most 10240, up to the first zero)
constexpr int kRegistryUnreadable = -1;  // the key is there, the value cannot be read
constexpr int kRegistryNoKey = -2;       // the key cannot be opened

class RegistryPort {
public:
    virtual ~RegistryPort() = default;
    virtual int ReadWhiteListValue(std::string& out) = 0;
};

}  // namespace USB
