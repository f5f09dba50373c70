// Where the lower layers send host notifications; the service is the one implementation.
#pragma once

#include <string>

namespace USB {

class UiSink {
public:
    virtual ~UiSink() = default;
    // One host message: its id and its JSON payload.
    virtual void SendToUi(int id, const std::string& json) = 0;
};

}  // namespace USB
