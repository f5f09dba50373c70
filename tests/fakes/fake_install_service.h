// The host's driver-install service and installer runs, scripted: a service that answers on
// the shared page, and installers that may leave a result file.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "support/ports/install_service_port.h"
#include "support/sys_utils.h"

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
    int OpenHandles()
    {
        return Locked([&] { return static_cast<int>(m_open.size()); });
    }

    Handle CreateReplyEvent(const std::wstring&) override { return Make(); }
    Handle OpenServiceEvent(const std::wstring& name) override
    {
        if (!serviceRunning || name != L"QuemboDriverInstallSrvWnd123")
            return nullptr;
        return Locked([&] { return *m_serviceEvents.insert(*m_open.insert(Make()).first).first; });
    }
    // Signalling the service event wakes the service: it reads the request, answers on the
    // page and signals the reply event. Any other handle stands for the reply event, which is
    // made once per process, possibly by an earlier fake.
    void SetEvent(Handle event) override
    {
        Locked([&] {
            if (!m_serviceEvents.count(event))
                return m_replySignalled = true;
            requests.emplace_back(m_page.begin(), std::find(m_page.begin(), m_page.end(), 0));
            std::fill(m_page.begin(), m_page.end(), 0);
            std::copy(answer.begin(), answer.begin() + std::min(answer.size(), m_page.size() - 1), m_page.begin());
            return m_replySignalled = serviceReplies;
        });
    }
    void ResetEvent(Handle event) override
    {
        Locked([&] { return m_serviceEvents.count(event) || (m_replySignalled = false); });
    }
    bool WaitEvent(Handle, uint32_t timeoutMs) override
    {
        return Locked([&] { return replyWaits.push_back(timeoutMs), std::exchange(m_replySignalled, false); });
    }
    Handle CreateMapping(const std::wstring& name, uint32_t size) override
    {
        if (name != L"__Ostrel__mobile__manager__mapfile" || size != 4096)
            return nullptr;
        return Locked([&] { return *m_open.insert(Make()).first; });
    }
    void* MapView(Handle, uint32_t) override
    {
        return Locked([&] { return *m_open.insert(m_page.data()).first; });
    }
    void UnmapView(void* view) override
    {
        Locked([&] { return m_open.erase(view); });
    }
    void CloseHandle(Handle h) override
    {
        Locked([&] { return m_open.erase(h) + m_serviceEvents.erase(h); });
    }
    std::wstring Utf8ToWide(const std::string& text) override { return NarrowToWide(text); }  // ASCII here
    RunOutcome RunHidden(const std::string& program, const std::string& parameters, uint32_t timeoutMs) override
    {
        return Launch(Run{program, parameters, timeoutMs, false}, plainError);
    }
    RunOutcome RunElevated(const std::string& program, const std::string& parameters, uint32_t timeoutMs) override
    {
        return Launch(Run{program, parameters, timeoutMs, true}, elevatedError);
    }

private:
    template <typename Fn>
    auto Locked(Fn fn) -> decltype(fn())
    {
        std::lock_guard<std::recursive_mutex> g(m_mutex);
        return fn();
    }
    // Numbered for the process: no handle of this fake is one an earlier fake gave out.
    static Handle Make()
    {
        static uintptr_t next = 0x2000;
        return reinterpret_cast<Handle>(next++);
    }
    RunOutcome Launch(const Run& run, uint32_t error)
    {
        Locked([&] { return runs.push_back(run), 0; });
        RunOutcome outcome;
        outcome.error = error;
        if (!error && onRun)
            onRun(run);
        outcome.result = error ? RunResult::NotStarted : RunResult::Ended;
        return outcome;
    }

    std::recursive_mutex m_mutex;
    std::set<Handle> m_serviceEvents, m_open;
    std::vector<uint16_t> m_page = std::vector<uint16_t>(2048, 0);
    bool m_replySignalled = false;
};

}  // namespace Fake
}  // namespace USB
