#include "support/ports.h"

#include <string>

#include "support/sys_utils.h"

namespace USB {

Ports& GetPorts()
{
    // Function-local so that static objects of other files may use it while they are built.
    static Ports ports = MakeDefaultPorts();
    return ports;
}

namespace {

void* LoadFrom(const std::string& folder, const char* name)
{
    LibraryPort* library = GetPorts().library;
    if (!library || !name || folder.empty())
        return nullptr;
    return library->Load((folder + name).c_str());
}

}  // namespace

void* LoadSystemLibrary(const char* name)
{
    SystemPort* system = GetPorts().system;
    return LoadFrom(system ? system->SystemFolder() : std::string(), name);
}

void* LoadHostLibrary(const char* name)
{
    const std::string folder = GetExeDirectory();
    // Without a known host path the folder is a bare separator: the root of the current drive.
    return LoadFrom(folder.size() > 1 ? folder : std::string(), name);
}

}  // namespace USB
