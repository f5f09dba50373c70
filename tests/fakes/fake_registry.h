// The whitelist registry value as a test scripts it.
#pragma once

#include <string>

#include "support/ports/registry_port.h"

namespace USB {
namespace Fake {

struct Registry : RegistryPort {
    enum State { kNoKey, kUnreadable, kValue };

    RegistryValue ReadWhiteListValue(std::string& out) override
    {
        if (state != kValue)
            return state == kNoKey ? RegistryValue::NoKey : RegistryValue::Unreadable;
        out = value;
        return RegistryValue::Read;
    }
    void Set(const std::string& text) { state = kValue, value = text; }

    State state = kNoKey;
    std::string value;
};

}  // namespace Fake
}  // namespace USB
