// The device-tree port answered by SetupAPI and the configuration manager.
#pragma once

#include "support/ports/device_tree_port.h"

namespace USB {

DeviceTreePort& Win32DeviceTree();

}  // namespace USB
