// Fakes for the connection pipeline: a scriptable ADB companion library, a process table with
// its TCP owner table, and flows compared against transcripts kept as data files.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "fakes/fake_platform.h"
#include "support/ports/process_port.h"

namespace USB {
namespace Fake {

// Loads the process-wide companion library afresh through the current library port.
void ReloadAdb();

// While alive, "AdbBridge.dll" in `library` answers from this object. Listings run on the
// service's workers: script them while no flow is running.
class AdbBridge {
public:
    explicit AdbBridge(Library& library);
    ~AdbBridge();

    // Listing texts and server start results in turn; the last one then repeats.
    std::deque<std::string> listings{std::string()};
    std::deque<int> starts{0};
    void Script(const std::vector<std::string>& texts) { listings.assign(texts.begin(), texts.end()); }
    std::function<void(int call)> beforeListing;
    int listingCalls = 0;
    std::vector<uint64_t> listingTimes;  // the fake clock at each listing

    // A bridge that follows the server's pushed list (at first empty), which `Push` changes. A
    // wait without a change takes its whole time on the fake clock and never blocks.
    void EnableTracking();
    void Push(const std::string& text);
    int TrackingStops();

    // The bridge's entry points (the fake library's table holds them).
    int List(char* buffer, int size);
    int WaitForChange(unsigned last, unsigned timeoutMs, unsigned* generation);
    int Tracked(char* buffer, int size, unsigned* generation);
    int StopTracking();

private:
    Library& m_library;
    std::mutex m_mutex;  // the tracking state: tests push while a worker waits
    std::string m_pushed;
    unsigned m_generation = 1;
    int m_stops = 0;
};

// Processes by id (listed in the order of their ids) and name; a terminated one leaves the table.
class Processes : public ProcessPort {
public:
    struct Proc {
        std::string name;
        bool inspectable = true;
    };
    TcpTableResult ReadTcpOwnerTable(std::vector<TcpOwnerRow>& out, uint32_t& error) override
    {
        return out = rows, error = 87, table;
    }
    std::vector<uint32_t> ListProcessIds(size_t limit) override
    {
        std::vector<uint32_t> ids;
        for (auto p = procs.begin(); p != procs.end() && ids.size() < limit; ++p)
            ids.push_back(p->first);
        return ids;
    }
    bool QueryProcessImage(uint32_t pid, std::string& baseName, std::string& path) override
    {
        auto p = procs.find(pid);
        return p != procs.end() && p->second.inspectable &&
               (baseName = p->second.name, path = "C:\\Programs\\" + baseName, true);
    }
    std::vector<ProcessEntry> SnapshotProcesses() override
    {
        std::vector<ProcessEntry> out;
        for (const auto& p : procs)
            out.push_back({p.first, p.second.name});
        return out;
    }
    PrivilegeOutcome EnableDebugPrivilege() override { return {}; }
    Handle OpenProcessAllAccess(uint32_t pid) override
    {
        return procs.count(pid) ? reinterpret_cast<Handle>(static_cast<uintptr_t>(pid) + 1) : nullptr;
    }
    void QueryExitCode(Handle, uint32_t& exitCode, uint32_t& lastError) override { exitCode = 259, lastError = 0; }
    bool Terminate(Handle process, uint32_t exitCode) override
    {
        const uint32_t pid = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(process) - 1);
        return procs.erase(pid) && (terminated.push_back(std::to_string(pid) + ":" + std::to_string(exitCode)), true);
    }
    void Close(Handle) override {}
    bool ShellOpenHidden(const std::string& file) override { return shellOpened.push_back(file), true; }
    ConnectResult ConnectTest(const std::string&, uint16_t, uint32_t) override { return connect; }

    std::map<uint32_t, Proc> procs;
    std::vector<TcpOwnerRow> rows;
    TcpTableResult table = TcpTableResult::Ok;
    ConnectResult connect = ConnectResult::Failed;
    std::vector<std::string> terminated;  // "pid:exit code"
    std::vector<std::string> shellOpened;
};

// A flow as the files saw it: the log lines kept for comparison (KeptLog), the track lines and
// the clock's pauses (left out where threads make their number vary), then `extra`; the test
// folder reads "$ROOT", a track record's date "$DATE".
std::string Transcript(Platform& platform, const std::string& extra = "", bool pauses = true);
// Forgets the flow so far (log, track file, pauses).
void ClearTranscript(Platform& platform);
// Compares with the kept transcript tests/unit/transcripts/<name>.txt (see fakes/transcript.h).
void ExpectTranscript(const std::string& name, const std::string& actual);

}  // namespace Fake
}  // namespace USB
