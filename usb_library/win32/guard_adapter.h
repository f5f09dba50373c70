// Files held against writers and named mutexes behind the guard port.
#pragma once

#include "support/ports/guard_port.h"

namespace USB {

GuardPort& Win32Guard();

}  // namespace USB
