// Step 2 of the pipeline: make sure Windows has an ADB driver bound to the phone.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "support/usb_lock.h"

namespace USB {

class UsbService;
class UsbDevice;

// One driver install: the install thread's own copy of the phone's record (the record may go
// away while the installer runs) and the install's own end, which only its poll waits for.
struct InstallJob {
    UsbService* service = nullptr;
    std::unique_ptr<UsbDevice> device;
    std::atomic<bool> ended{false};
};

// Waits for Windows' own driver installation before a new phone's interfaces are probed.
void WaitForWindowsDriverInstall(const std::string& vidPid, const std::string& serial = std::string());
unsigned DriverInstallThread(InstallJob* job);
// Install threads not yet ended (tests wait them out).
int InstallThreadsRunning();
std::string GetTempDirectory();
std::string GetPackageExtension(const std::string& url);
int InstallThroughHostService(const std::string& command);
// Installs run one at a time: the installer result file and the host service's page are
// shared by every install of the process.
UsbCLock& InstallLock();
// The digest of a package file as it lies on disk; "" when it cannot be read whole.
std::string PackageDigest(const std::string& path);

// Bounds of the waits the host gives no limit for: a hung service or installer must not hold
// step 2 (and with it the event loop) for ever.
constexpr uint32_t kHostServiceReplyTimeoutMs = 5 * 60 * 1000;
constexpr uint32_t kLocalInstallerTimeoutMs = 5 * 60 * 1000;
// The request page holds this many UTF-16 units of command before its terminator.
constexpr size_t kMaxServiceCommandUnits = 2047;
constexpr uint32_t kRequestPageSize = 4096;

constexpr const wchar_t* kReplyEventName = L"__Ostrel__mobile__manager__";
constexpr const wchar_t* kRequestMappingName = L"__Ostrel__mobile__manager__mapfile";
constexpr const wchar_t* kServiceEventName = L"QuemboDriverInstallSrvWnd123";

// Client of the host's driver-install service.
class CMyRpcCall {
public:
    virtual ~CMyRpcCall();
    static CMyRpcCall* Instance();
    // 1 when the service installed the driver, else 0.
    int Request(const std::wstring& command);

    void* m_hReplyEvent = nullptr;
    void* m_hMapping = nullptr;

private:
    CMyRpcCall() = default;
};

}  // namespace USB
