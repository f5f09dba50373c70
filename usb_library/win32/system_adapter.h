// Win32 adapters for the system, clock and library ports.
#pragma once

#include "support/ports/ports.h"

namespace USB {

SystemPort& Win32System();
ClockPort& Win32Clock();
LibraryPort& Win32Library();

}  // namespace USB
