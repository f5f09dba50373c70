// The clock: every fixed wait of the library goes through it.
#pragma once

#include <cstdint>
#include <functional>

#include "support/usb_event.h"

namespace USB {

// Every fixed wait goes through here so tests can run them instantly and count them.
class ClockPort {
public:
    virtual ~ClockPort() = default;
    virtual void SleepMs(uint32_t ms) = 0;
    virtual uint64_t NowMs() = 0;
    // The event loop's wait: until `wake` is set or `ms` have passed on this clock (kInfinite:
    // only the event ends it); true when woken. `settled` says when nothing but the clock can set
    // `wake` any more: a simulated clock moves on only then, a real one never asks it.
    virtual bool WaitFor(UsbEvent& wake, uint32_t ms, const std::function<bool()>& settled)
    {
        return wake.Wait(ms);
    }
};

}  // namespace USB
