#include "support/ports.h"

namespace USB {

Ports& GetPorts()
{
    // Function-local so that static objects of other files may use it while they are built.
    static Ports ports = MakeDefaultPorts();
    return ports;
}

}  // namespace USB
