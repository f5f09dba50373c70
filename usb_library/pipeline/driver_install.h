// Installing a driver package: through the host's privileged install service (a named event and
// a shared page), else by running the installer here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "support/usb_lock.h"

namespace USB {

// Installs run one at a time: the installer result file and the host service's page are
// shared by every install of the process.
Mutex& InstallLock();
// True when the installer of the model's package `file` reports success. The package runs only
// when its digest, taken on a handle that keeps writers out until the installer has run, is md5;
// otherwise it is deleted. Takes the install lock for the whole install.
bool InstallDriver(const std::string& vid, const std::string& pid, const std::string& file, const std::string& md5)
    EXCLUDES(InstallLock());
// ".msi", ".exe" or ".zip" when the file's own name ends so, in any case; "" otherwise.
std::string PackageExtensionOfFile(const std::string& path);
// The same for the file a URL's path names (not its host, query or fragment).
std::string PackageExtensionOfUrl(const std::string& url);

// Bounds of the waits the host gives no limit for: a hung service or installer must not hold
// step 2 (and with it the event loop) for ever.
constexpr uint32_t kHostServiceReplyTimeoutMs = 5 * 60 * 1000;
constexpr uint32_t kLocalInstallerTimeoutMs = 5 * 60 * 1000;
// The request page holds this many UTF-16 units of command before its terminator.
constexpr size_t kMaxServiceCommandUnits = 2047;
constexpr uint32_t kRequestPageSize = 4096;

constexpr const char* kReplyEventName = "__Ostrel__mobile__manager__";
constexpr const char* kRequestMappingName = "__Ostrel__mobile__manager__mapfile";
constexpr const char* kServiceEventName = "QuemboDriverInstallSrvWnd123";

// command: program CR LF parameters. True when the host's install service says it installed.
bool InstallThroughHostService(const std::string& command) EXCLUDES(InstallLock());
bool InstallThroughHostServiceLocked(const std::string& command) REQUIRES(InstallLock());

// Client of the host's driver-install service.
class HostInstallClient {
public:
    ~HostInstallClient();
    static HostInstallClient* Instance();
    // command in the UTF-16 units the service's page holds.
    bool Request(const std::u16string& command);

private:
    HostInstallClient() = default;

    void* m_hReplyEvent = nullptr;
    void* m_hMapping = nullptr;
};

}  // namespace USB
