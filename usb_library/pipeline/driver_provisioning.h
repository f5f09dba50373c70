// Step 2 of the pipeline: make sure Windows has an ADB driver bound to the phone.
#pragma once

#include <string>

namespace USB {

// The system's temporary folder, at most 1024 bytes of it: where a model's own package goes.
std::string GetTempDirectory();

}  // namespace USB
