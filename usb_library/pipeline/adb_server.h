// ADB server management: the free helpers around port 5037 and the processes behind it.
#pragma once

#include <cstdint>
#include <string>

#include "support/ports/process_port.h"

namespace USB {

class UiSink;
struct DeviceRecord;

constexpr const char* kAdbHost = "127.0.0.1";
constexpr uint16_t kAdbPort = 5037;
// The probe runs on the host's thread inside IUSB_start: never wait the system's long default.
constexpr uint32_t kAdbProbeTimeoutMs = 2000;
constexpr const char* kHelperName = "Parvello_helper";
constexpr const char* kHelperFile = "Parvello_helper.exe";
constexpr uint32_t kNoListener = 0xFFFFFFFFu;

// True when a TCP connection to 127.0.0.1:5037 succeeds.
bool ProbeAdbPort();
// Owner of the listening socket on 5037; kNoListener when none listens; 0 when the table
// cannot be read.
uint32_t FindAdbServerPid();
// Executable base name of the process; "" when not found or not inspectable.
std::string GetProcessName(uint32_t pid);
// Ends the first running process whose executable name is exactly `name`.
void KillProcessByName(const std::string& name);
// Ends the port owner: by its id when known (and still named `name`), else by name.
void KillAdbServerProcess(uint32_t pid, const std::string& name);
// Enables SeDebugPrivilege on the own token, then opens the process with all access.
ProcessPort::Handle OpenProcessWithDebugPrivilege(uint32_t pid);

// What the owner check leaves its caller to do: ask the host for a rescan, or nothing (the
// host was told what to do).
enum class OwnerCheck { AskRescan, HostTold };

// Steps after "the phone is still present": find the port owner and decide what the host is
// asked to do (borrowed: the server on the port is another program's).
OwnerCheck ReportAdbServerOwner(UiSink& ui, bool borrowed, const DeviceRecord& device);

}  // namespace USB
