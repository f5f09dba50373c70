// Named events, the shared request page and hidden installer runs behind the install port.
#pragma once

#include "support/ports/install_service_port.h"

namespace USB {

InstallServicePort& Win32InstallService();

}  // namespace USB
