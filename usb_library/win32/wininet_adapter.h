// WinInet behind the HTTP session port.
#pragma once

#include "support/ports/http_port.h"

namespace USB {

HttpPort& Win32Http();

}  // namespace USB
