// A device-change listener that only records how the service wires it, and hands texts to the
// service's sink the way the consumer thread would.
#pragma once

#include <cstdint>
#include <string>

#include "support/ports/listener_port.h"

namespace USB {
namespace Fake {

struct Listener : ListenerPort {
    ~Listener() override
    {
        if (last == this)
            last = nullptr;
    }
    void Start() override { ++starts; }
    void SetSink(ListenerSink s, void* c) override { sink = s, context = c; }
    bool HasConsumer() override { return consumer; }
    void StartConsumer() override { consumer = true, ++consumerStarts; }
    // As the consumer does: texts of zero or one byte never reach the sink.
    void Deliver(const std::string& text)
    {
        if (sink && text.size() > 1)
            sink(text.c_str(), static_cast<uint32_t>(text.size()), context);
    }
    // Factory for Ports::createListener; remembers the last listener made (the service owns it).
    static ListenerPort* Create() { return last = new Listener(); }
    static inline Listener* last = nullptr;

    int starts = 0;
    int consumerStarts = 0;
    bool consumer = false;
    ListenerSink sink = nullptr;
    void* context = nullptr;
};

}  // namespace Fake
}  // namespace USB
