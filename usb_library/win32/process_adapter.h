// Win32 adapter for the process-control port.
#pragma once

#include "support/ports/process_port.h"

namespace USB {

ProcessPort& Win32Process();

}  // namespace USB
