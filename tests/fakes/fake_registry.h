// The whitelist registry value as a test scripts it.
#pragma once

#include <string>

#include "support/ports/registry_port.h"

namespace USB {
namespace Fake {

struct Registry : RegistryPort {
    enum State { kNoKey, kUnreadable, kValue };

    int ReadWhiteListValue(std::string& out) override
    {
        if (state != kValue)
            return state == kNoKey ? kRegistryNoKey : kRegistryUnreadable;
        // Like the real value: read into 10240 bytes, text up to the first zero.
        out = value.substr(0, 10240);
        out.resize(out.find('\0') == std::string::npos ? out.size() : out.find('\0'));
        return kRegistryRead;
    }
    void Set(const std::string& text) { state = kValue, value = text; }

    State state = kNoKey;
    std::string value;
};

}  // namespace Fake
}  // namespace USB
