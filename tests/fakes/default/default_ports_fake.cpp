// Test binaries start with inert fakes; each test installs its own through Fake::Platform.
#include "fakes/fake_platform.h"
#include "support/sys_utils.h"

namespace USB {

namespace {
bool g_made = false;
}

bool Fake::DefaultPortsMade()
{
    return g_made;
}

Ports MakeDefaultPorts()
{
    g_made = true;
    static Fake::System system;
    static Fake::Clock clock;
    static Fake::Library library;
    static bool prepared = [] {
        system.appData = Fake::MakeTempDir();
        system.exePath = system.appData + kPathSep + "host.exe";
        return true;
    }();
    (void)prepared;
    Ports ports;
    ports.system = &system;
    ports.clock = &clock;
    ports.library = &library;
    return ports;
}

}  // namespace USB
