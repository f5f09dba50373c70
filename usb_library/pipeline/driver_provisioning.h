// Step 2 of the pipeline: make sure Windows has an ADB driver bound to the phone.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace USB {

class UsbService;
class UsbDevice;

// Waits for Windows' own driver installation before a new phone's interfaces are probed.
void WaitForWindowsDriverInstall(const std::string& vidPid);
unsigned DriverInstallThread(void* device);
std::string GetTempDirectory();
std::string GetPackageExtension(const std::string& url);
int InstallThroughHostService(const std::string& command);

// Non-null while a driver install thread runs.
extern std::atomic<UsbService*> g_installingService;

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
