// The shipped DLL's bundle: every port answered by its Win32 adapter.
#include "discovery/win32/setupapi_tree.h"
#include "identification/win32/registry_adapter.h"
#include "support/ports.h"
#include "support/win32/win32_system.h"
#include "pipeline/win32/process_adapter.h"

namespace USB {

Ports MakeDefaultPorts()
{
    Ports ports;
    ports.system = &Win32System();
    ports.clock = &Win32Clock();
    ports.library = &Win32Library();
    ports.deviceTree = &Win32DeviceTree();
    ports.registry = &Win32Registry();
    ports.process = &Win32Process();
    return ports;
}

}  // namespace USB
