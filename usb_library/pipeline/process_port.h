// Process control: the TCP owner table, process names, termination, starting programs.
#pragma once

namespace USB {

class ProcessPort {
public:
    virtual ~ProcessPort() = default;
};

}  // namespace USB
