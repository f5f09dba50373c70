// The host's privileged driver-install service and local installer runs.
#pragma once

namespace USB {

class InstallServicePort {
public:
    virtual ~InstallServicePort() = default;
};

}  // namespace USB
