// HTTP sessions as the transport needs them.
#pragma once

namespace USB {

class HttpPort {
public:
    virtual ~HttpPort() = default;
};

}  // namespace USB
