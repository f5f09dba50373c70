// The whitelist registry value as a test scripts it.
#pragma once

#include <string>

#include "support/ports/registry_port.h"

namespace USB {
namespace Fake {

class Registry : public RegistryPort {
public:
    enum State { kNoKey, kUnreadable, kValue };

    int ReadWhiteListValue(std::string& out) override
    {
        ++reads;
        if (state == kNoKey)
            return -2;
        if (state == kUnreadable)
            return -1;
        // Like the real value: read into 10240 bytes, text up to the first zero.
        out = value.substr(0, 10240);
        const size_t zero = out.find('\0');
        if (zero != std::string::npos)
            out.resize(zero);
        return 0;
    }

    void Set(const std::string& text)
    {
        state = kValue;
        value = text;
    }

    State state = kNoKey;
    std::string value;
    int reads = 0;
};

}  // namespace Fake
}  // namespace USB
