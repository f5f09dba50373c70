// The device-change listener as the service sees it.
#pragma once

#include <cstdint>

namespace USB {

using ListenerSink = void (*)(const char* text, uint32_t length, void* context);

class ListenerPort {
public:
    virtual ~ListenerPort() = default;
    virtual void Start() = 0;
    virtual void SetSink(ListenerSink sink, void* context) = 0;
    virtual bool HasConsumer() = 0;
    virtual void StartConsumer() = 0;
};

}  // namespace USB
