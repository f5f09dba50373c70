// The whitelist value in the current user's registry.
#pragma once

#include <string>

namespace USB {

// What reading the value came to.
enum class RegistryValue {
    Read,        // the value's bytes (at most 10240, up to the first zero)
    Unreadable,  // the key is there, the value cannot be read
    NoKey,       // the key cannot be opened
};

class RegistryPort {
public:
    virtual ~RegistryPort() = default;
    virtual RegistryValue ReadWhiteListValue(std::string& out) = 0;
};

}  // namespace USB
