// The whitelist registry value read from HKEY_CURRENT_USER.
#pragma once

#include "support/ports/registry_port.h"

namespace USB {

RegistryPort& Win32Registry();

}  // namespace USB
