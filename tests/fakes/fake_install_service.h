// The host's driver-install service and installer runs, scripted: a service that answers on
// the shared page, and installers that may leave a result file.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "support/ports/install_service_port.h"

namespace USB {
namespace Fake {

class InstallService : public InstallServicePort {
public:
    struct Run {
        std::string program;
        std::string parameters;
        uint32_t timeoutMs = 0;
        bool elevated = false;
    };

    bool serviceRunning = false;            // the request event exists
    bool serviceReplies = true;             // signals the reply event after answering
    std::wstring answer = L"success";       // written to the page
    uint32_t plainError = 0;                // non-zero: the plain launch fails with this error
    uint32_t elevatedError = 0;             // non-zero: the shell's launch fails with this error
    std::function<void(const Run&)> onRun;  // what the installer does (e.g. writes insret.txt)

    std::vector<std::wstring> requests;  // page contents the service received
    std::vector<uint32_t> replyWaits;    // time-outs of the reply waits
    std::vector<Run> runs;
    // Service events, mappings and views still open (the reply event lives for the process).
    int OpenHandles();

    Handle CreateReplyEvent(const std::wstring&) override { return Make(); }
    Handle OpenServiceEvent(const std::wstring& name) override;
    void SetEvent(Handle event) override;
    // Any handle but this fake's own service events stands for the reply event: it is made
    // once per process, possibly by an earlier fake.
    void ResetEvent(Handle event) override;
    bool WaitEvent(Handle event, uint32_t timeoutMs) override;
    Handle CreateMapping(const std::wstring& name, uint32_t size) override;
    void* MapView(Handle, uint32_t) override;
    void UnmapView(void*) override;
    void CloseHandle(Handle handle) override;
    std::wstring Utf8ToWide(const std::string& text) override;
    RunOutcome RunHidden(const std::string& program, const std::string& parameters, uint32_t timeoutMs) override;
    RunOutcome RunElevated(const std::string& program, const std::string& parameters, uint32_t timeoutMs) override;

private:
    // Numbered for the process: no handle of this fake is one an earlier fake gave out.
    static Handle Make()
    {
        static uintptr_t next = 0x2000;
        return reinterpret_cast<Handle>(next++);
    }
    RunOutcome Launch(const Run& run, uint32_t error);

    std::recursive_mutex m_mutex;
    std::set<Handle> m_serviceEvents, m_open;
    std::vector<uint16_t> m_page = std::vector<uint16_t>(2048, 0);
    bool m_replySignalled = false;
};

}  // namespace Fake
}  // namespace USB
