// The host's privileged driver-install service (named events and a shared page) and local
// installer runs.
#pragma once

#include <cstdint>
#include <string>

namespace USB {

class InstallServicePort {
public:
    using Handle = void*;

    virtual ~InstallServicePort() = default;

    // Names are ASCII.
    // An auto-reset event of this name, created signalled (an existing one is opened).
    virtual Handle CreateReplyEvent(const std::string& name) = 0;
    // The service's request event opened with full access; null when it does not exist.
    virtual Handle OpenServiceEvent(const std::string& name) = 0;
    virtual void SetEvent(Handle event) = 0;
    virtual void ResetEvent(Handle event) = 0;
    // True when the event was signalled within timeoutMs.
    virtual bool WaitEvent(Handle event, uint32_t timeoutMs) = 0;
    // A page-file backed read/write mapping of this name and size (an existing one is opened);
    // when creation fails, the named mapping opened for reading; null when neither works.
    virtual Handle CreateMapping(const std::string& name, uint32_t size) = 0;
    // A writable view of the whole mapping; null on failure.
    virtual void* MapView(Handle mapping, uint32_t size) = 0;
    virtual void UnmapView(void* view) = 0;
    virtual void CloseHandle(Handle handle) = 0;
    // UTF-8 text (the core's paths and command lines) as the UTF-16 units the service's page holds.
    virtual std::u16string Utf16Of(const std::string& text) = 0;

    enum class RunResult { NotStarted, Ended, TimedOut };
    struct RunOutcome {
        RunResult result = RunResult::NotStarted;
        uint32_t error = 0;  // what Windows said when the program did not start
    };
    // Starts program (a UTF-8 path) with parameters as a plain hidden process and waits up to
    // timeoutMs for it to end.
    virtual RunOutcome RunHidden(const std::string& program, const std::string& parameters, uint32_t timeoutMs) = 0;
    // The same through the shell's "runas" verb, which can start a program that needs elevation.
    virtual RunOutcome RunElevated(const std::string& program, const std::string& parameters, uint32_t timeoutMs) = 0;
};

}  // namespace USB
