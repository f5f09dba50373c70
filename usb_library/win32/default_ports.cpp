// The shipped DLL's bundle: every port answered by its Win32 adapter.
#include "win32/guard_adapter.h"
#include "win32/install_service_adapter.h"
#include "win32/wininet_adapter.h"
#include "win32/device_listener.h"
#include "win32/setupapi_tree.h"
#include "win32/registry_adapter.h"
#include "win32/process_adapter.h"
#include "support/ports/ports.h"
#include "win32/system_adapter.h"

namespace USB {

Ports MakeDefaultPorts()
{
    Ports ports;
    ports.system = &Win32System();
    ports.clock = &Win32Clock();
    ports.library = &Win32Library();
    ports.deviceTree = &Win32DeviceTree();
    ports.registry = &Win32Registry();
    ports.http = &Win32Http();
    ports.installService = &Win32InstallService();
    ports.guard = &Win32Guard();
    ports.createListener = &CreateWin32Listener;
    ports.process = &Win32Process();
    return ports;
}

}  // namespace USB
