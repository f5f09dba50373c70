// The device-tree port answered by SetupAPI and the configuration manager.
#pragma once

#include "discovery/device_tree_port.h"

namespace USB {

DeviceTreePort& Win32DeviceTree();

}  // namespace USB
