// The host's driver-install service: a named request event, a shared page and a reply event.
#include <cstring>

#include "pipeline/driver_install.h"
#include "support/ports/ports.h"
#include "support/ports/install_service_port.h"
#include "support/usb_log.h"

namespace USB {

Mutex& InstallLock()
{
    // Never destroyed: an install thread may still hold it while the process ends.
    static Mutex* lock = new Mutex();
    return *lock;
}

HostInstallClient::~HostInstallClient()
{
    if (m_hReplyEvent)
        GetPorts().installService->CloseHandle(m_hReplyEvent);
}

HostInstallClient* HostInstallClient::Instance()
{
    static HostInstallClient* instance = new HostInstallClient();
    // Made once, by the first request that can make it; it lives as long as the process.
    if (!instance->m_hReplyEvent)
        instance->m_hReplyEvent = GetPorts().installService->CreateReplyEvent(kReplyEventName);
    return instance;
}

bool HostInstallClient::Request(const std::u16string& command)
{
    InstallServicePort* port = GetPorts().installService;
    if (m_hReplyEvent)
        port->ResetEvent(m_hReplyEvent);
    // A request already in flight owns the page.
    if (m_hMapping)
        return false;
    if (command.size() > kMaxServiceCommandUnits) {
        USB_LOG("the install command is too long for the service, %u units\n", static_cast<unsigned>(command.size()));
        return false;
    }
    InstallServicePort::Handle serviceEvent = port->OpenServiceEvent(kServiceEventName);
    if (!serviceEvent)
        return false;
    m_hMapping = port->CreateMapping(kRequestMappingName, kRequestPageSize);
    if (!m_hMapping) {
        port->CloseHandle(serviceEvent);
        return false;
    }
    void* view = port->MapView(m_hMapping, kRequestPageSize);
    if (!view) {
        port->CloseHandle(m_hMapping);
        m_hMapping = nullptr;
        port->CloseHandle(serviceEvent);
        return false;
    }
    // The page holds UTF-16 units.
    uint16_t* page = static_cast<uint16_t*>(view);
    std::memset(page, 0, kRequestPageSize);
    for (size_t i = 0; i < command.size(); ++i)
        page[i] = static_cast<uint16_t>(command[i]);

    port->SetEvent(serviceEvent);
    bool result = false;
    if (port->WaitEvent(m_hReplyEvent, kHostServiceReplyTimeoutMs)) {
        static const char kSuccess[] = "success";
        const size_t units = kRequestPageSize / 2;
        size_t i = 0;
        bool same = true;
        for (; i < units && page[i] != 0; ++i) {
            uint16_t c = page[i];
            if (c >= 'A' && c <= 'Z')
                c = static_cast<uint16_t>(c - 'A' + 'a');
            if (i >= sizeof(kSuccess) - 1 || c != static_cast<uint16_t>(kSuccess[i])) {
                same = false;
                break;
            }
        }
        result = same && i == sizeof(kSuccess) - 1;
    } else {
        USB_LOG("the install service did not answer in %u ms\n", static_cast<unsigned>(kHostServiceReplyTimeoutMs));
    }
    port->UnmapView(view);
    port->CloseHandle(m_hMapping);
    // Forgotten once closed, so that the next request reaches the service too.
    m_hMapping = nullptr;
    port->CloseHandle(serviceEvent);
    return result;
}

bool InstallThroughHostService(const std::string& command)
{
    LockGuard guard(InstallLock());
    return InstallThroughHostServiceLocked(command);
}

bool InstallThroughHostServiceLocked(const std::string& command)
{
    return HostInstallClient::Instance()->Request(GetPorts().installService->Utf16Of(command));
}

}  // namespace USB
