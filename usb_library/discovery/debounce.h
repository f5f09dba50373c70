// The listener's debounce of device-tree changes: each change (re)arms it for 1500 ms from the
// clock's now, and once that moment has come it fires one time and disarms; an arrival or a
// removal cancels it. So a burst of changes yields one notice, 1500 ms after its last change.
// The platform side only wakes it: it waits for the time left and then asks it to fire.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <mutex>

#include "support/ports/ports.h"
#include "support/usb_lock.h"

namespace USB {

class Debounce {
public:
    static constexpr uint64_t kTreeChangeMs = 1500;
    // MsLeft while disarmed.
    static constexpr uint64_t kIdle = std::numeric_limits<uint64_t>::max();

    Debounce(ClockPort& clock, std::function<void()> fire, uint64_t delayMs = kTreeChangeMs);
    Debounce(const Debounce&) = delete;
    Debounce& operator=(const Debounce&) = delete;

    // Arms it, or moves a pending fire to the delay from now.
    void Restart() EXCLUDES(m_mutex);
    void Cancel() EXCLUDES(m_mutex);
    // Fires and disarms when armed and due; true when it fired. The action runs under the
    // debounce's lock, so a Restart or Cancel on another thread waits for it to finish (and the
    // action itself must not call them).
    bool FireIfDue() EXCLUDES(m_mutex);
    // Milliseconds until due: 0 once due, kIdle when disarmed.
    uint64_t MsLeft() EXCLUDES(m_mutex);

private:
    ClockPort& m_clock;
    const std::function<void()> m_fire;
    const uint64_t m_delayMs;
    Mutex m_mutex;
    bool m_armed GUARDED_BY(m_mutex) = false;
    uint64_t m_dueMs GUARDED_BY(m_mutex) = 0;
};

}  // namespace USB
