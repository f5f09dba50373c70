// The shipped DLL's bundle: every port answered by its Win32 adapter.
#include "support/ports.h"
#include "discovery/win32/Usb_WMessage.h"
#include "support/win32/win32_system.h"

namespace USB {

Ports MakeDefaultPorts()
{
    Ports ports;
    ports.system = &Win32System();
    ports.clock = &Win32Clock();
    ports.library = &Win32Library();
    ports.createListener = &CreateWin32Listener;
    return ports;
}

}  // namespace USB
