// The clock: every fixed wait of the library goes through it.
#pragma once

#include <cstdint>

namespace USB {

// Every fixed wait goes through here so tests can run them instantly and count them.
class ClockPort {
public:
    virtual ~ClockPort() = default;
    virtual void SleepMs(uint32_t ms) = 0;
    virtual uint64_t NowMs() = 0;
};

}  // namespace USB
