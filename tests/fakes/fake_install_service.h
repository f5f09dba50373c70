// The host's driver-install service and installer runs, scripted: a service that answers on
// the shared page, and installers that may leave a result file.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
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

    bool serviceRunning = false;      // the request event exists
    bool serviceReplies = true;       // signals the reply event after answering
    std::wstring answer = L"success"; // written to the page
    bool failMapView = false;
    RunResult runResult = RunResult::Ended;
    uint32_t plainError = 0;      // non-zero: the plain launch fails with this error
    uint32_t elevatedError = 0;   // non-zero: the shell's launch fails with this error
    std::function<void(const Run&)> onRun; // what the installer does (e.g. writes insret.txt)

    std::vector<std::wstring> requests;    // page contents the service received
    std::vector<uint32_t> replyWaits;      // time-outs of the reply waits
    std::vector<Run> runs;
    std::vector<std::wstring> createdEvents;
    int OpenHandles();

    Handle CreateReplyEvent(const std::wstring& name) override;
    Handle OpenServiceEvent(const std::wstring& name) override;
    void SetEvent(Handle event) override;
    void ResetEvent(Handle event) override;
    bool WaitEvent(Handle event, uint32_t timeoutMs) override;
    Handle CreateMapping(const std::wstring& name, uint32_t size) override;
    void* MapView(Handle mapping, uint32_t size) override;
    void UnmapView(void* view) override;
    void CloseHandle(Handle handle) override;
    std::wstring Utf8ToWide(const std::string& text) override;
    RunOutcome RunHidden(const std::string& program, const std::string& parameters, uint32_t timeoutMs) override;
    RunOutcome RunElevated(const std::string& program, const std::string& parameters, uint32_t timeoutMs) override;

private:
    struct Object {
        int kind = 0;  // 1 reply event, 2 service event, 3 mapping
        std::wstring name;
        bool signalled = false;
    };
    Handle Make(int kind, const std::wstring& name, bool signalled);
    RunOutcome Launch(const Run& run, uint32_t error);

    std::recursive_mutex m_mutex;
    std::map<uintptr_t, Object> m_objects;
    uintptr_t m_next = 0x2000;
    std::vector<uint16_t> m_page = std::vector<uint16_t>(2048, 0);
    bool m_replySignalled = false;
    int m_views = 0;
};

}  // namespace Fake
}  // namespace USB
