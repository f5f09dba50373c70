// A portable event object with the two Windows flavours (auto and manual reset).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace USB {

class UsbEvent {
public:
    static constexpr uint32_t kInfinite = 0xFFFFFFFFu;

    explicit UsbEvent(bool manualReset = false, bool initiallySet = false)
        : m_manual(manualReset), m_set(initiallySet) {}

    void Set();
    void Reset();
    // True when the event was signalled within timeoutMs (an auto-reset event is then reset).
    bool Wait(uint32_t timeoutMs = kInfinite);

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_manual;
    bool m_set;
};

}  // namespace USB
