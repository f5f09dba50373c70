// The host's driver-install service and installer runs, scripted: a service that answers on
// the shared page, and installers that may leave a result file.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "support/ports/install_service_port.h"

namespace USB {
namespace Fake {

// Installs run one at a time under the library's install lock, so the fake needs no lock of its own.
class InstallService : public InstallServicePort {
public:
    struct Run {
        std::string program, parameters;
        uint32_t timeoutMs;
        bool elevated;
    };

    bool serviceRunning = false;            // the request event exists
    bool serviceReplies = true;             // signals the reply event after answering
    std::string answer = "success";         // written to the page
    uint32_t plainError = 0;                // non-zero: the plain launch fails with this error
    uint32_t elevatedError = 0;             // non-zero: the shell's launch fails with this error
    std::function<void(const Run&)> onRun;  // what the installer does (e.g. writes insret.txt)

    std::vector<std::string> requests;  // page contents the service received (ASCII here)
    std::vector<uint32_t> replyWaits;   // time-outs of the reply waits
    std::vector<Run> runs;
    // Service events, mappings and views still open (the reply event lives for the process).
    size_t OpenHandles() const { return m_open.size(); }

    Handle CreateReplyEvent(const std::string&) override { return Make(); }
    Handle OpenServiceEvent(const std::string& name) override
    {
        return serviceRunning && name == "QuemboDriverInstallSrvWnd123" ? Opened(m_service = Make()) : nullptr;
    }
    // Signalling the service event wakes the service: it reads the request, answers on the page
    // and signals the reply event. Any other handle is the reply event, made once per process.
    void SetEvent(Handle event) override
    {
        if (event == m_service) {
            requests.emplace_back(m_page.begin(), std::find(m_page.begin(), m_page.end(), 0));
            std::fill(m_page.begin(), m_page.end(), 0);
            std::copy(answer.begin(), answer.begin() + std::min(answer.size(), m_page.size() - 1), m_page.begin());
        }
        m_replied = event != m_service || serviceReplies;
    }
    void ResetEvent(Handle event) override { m_replied &= event == m_service; }
    bool WaitEvent(Handle, uint32_t timeoutMs) override
    {
        return replyWaits.push_back(timeoutMs), std::exchange(m_replied, false);
    }
    Handle CreateMapping(const std::string& name, uint32_t size) override
    {
        return name == "__Ostrel__mobile__manager__mapfile" && size == 4096 ? Opened(Make()) : nullptr;
    }
    void* MapView(Handle, uint32_t) override { return Opened(m_page.data()); }
    void UnmapView(void* view) override { CloseHandle(view); }
    void CloseHandle(Handle h) override { m_open.erase(h); }
    std::u16string Utf16Of(const std::string& text) override { return {text.begin(), text.end()}; }  // ASCII here
    RunOutcome RunHidden(const std::string& program, const std::string& parameters, uint32_t timeoutMs) override
    {
        return Launch(Run{program, parameters, timeoutMs, false}, plainError);
    }
    RunOutcome RunElevated(const std::string& program, const std::string& parameters, uint32_t timeoutMs) override
    {
        return Launch(Run{program, parameters, timeoutMs, true}, elevatedError);
    }

private:
    // Numbered for the process: no handle of this fake is one an earlier fake gave out.
    static Handle Make()
    {
        static uintptr_t next = 0x2000;
        return reinterpret_cast<Handle>(next++);
    }
    void* Opened(void* h) { return *m_open.insert(h).first; }
    RunOutcome Launch(const Run& run, uint32_t error)
    {
        runs.push_back(run);
        if (!error && onRun)
            onRun(run);
        return {error ? RunResult::NotStarted : RunResult::Ended, error};
    }

    std::set<void*> m_open;
    Handle m_service = nullptr;
    std::vector<uint16_t> m_page = std::vector<uint16_t>(2048, 0);
    bool m_replied = false;
};

}  // namespace Fake
}  // namespace USB
