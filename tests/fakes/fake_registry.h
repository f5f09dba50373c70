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
        out = value;
        return kRegistryRead;
    }
    void Set(const std::string& text) { state = kValue, value = text; }

    State state = kNoKey;
    std::string value;
};

}  // namespace Fake
}  // namespace USB
