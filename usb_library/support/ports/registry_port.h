// The whitelist value in the current user's registry.
#pragma once

#include <string>

namespace USB {

class RegistryPort {
public:
    virtual ~RegistryPort() = default;
    // 0 with the value's bytes (at most 10240, up to the first zero); -2 when the key cannot be
    // opened; -1 when the value cannot be read.
    virtual int ReadWhiteListValue(std::string& out) = 0;
};

}  // namespace USB
