// Every thread of the library starts here: detached, with a failure inside it logged instead of
// ending the host process.
#pragma once

#include <functional>

namespace USB {

// False (and logged) when the thread could not be started.
bool StartThread(std::function<void()> work);

}  // namespace USB
