// Win32 adapter for the process-control port.
#pragma once

#include "pipeline/process_port.h"

namespace USB {

ProcessPort& Win32Process();

}  // namespace USB
