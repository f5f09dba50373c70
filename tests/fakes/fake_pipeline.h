// Fakes for the connection pipeline: a scriptable ADB companion library (plain C entry points
// registered in Fake::Library), a process table with a TCP owner table, and a recorder of the
// messages the host would get.
#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "fakes/fake_platform.h"
#include "support/ports/process_port.h"
#include "usbhelper.h"

namespace USB {

class UsbService;

namespace Fake {

// Loads the process-wide companion library afresh through the current library port, as its
// first use would: the product loads it once per process, each test wants its own.
void ReloadAdb();

// While alive, "AdbBridge.dll" in `library` answers from this object; the companion is loaded
// afresh on both ends.
class AdbBridge {
public:
    explicit AdbBridge(Library& library, bool withInit = true, bool withGetDevices = true);
    ~AdbBridge();
    AdbBridge(const AdbBridge&) = delete;
    AdbBridge& operator=(const AdbBridge&) = delete;

    // Each listing call takes the next scripted text; the last one then repeats.
    void Script(std::vector<std::string> texts);
    // Results of IUSB_AdbServerStart in order; the last one then repeats.
    void StartResults(std::vector<int> results);
    // Runs before every listing call with the 1-based call number.
    std::function<void(int)> beforeListing;

    int inits = 0;
    int starts = 0;
    int listings = 0;
    std::vector<int> sizesPassed;

    // Used by the C entry points.
    static AdbBridge* Current();
    int NextStart();
    std::string NextListing();

private:
    Library& m_library;
    std::deque<std::string> m_texts{std::string()};
    std::deque<int> m_starts{0};
};

// Processes as a snapshot and as ids, a TCP owner table and everything the port can do.
class Processes : public ProcessPort {
public:
    struct Proc {
        uint32_t pid = 0;
        std::wstring exeName;
        bool inspectable = true;  // the image can be opened (base name and path); else the snapshot only
    };
    void Add(uint32_t pid, const std::wstring& exeName, bool inspectable = true);
    void Listen(uint32_t pid, uint16_t port = 5037, uint32_t state = 2);

    TcpTableResult ReadTcpOwnerTable(std::vector<TcpOwnerRow>& rows, uint32_t& error) override;
    std::vector<uint32_t> ListProcessIds(size_t limit) override;
    bool QueryProcessImage(uint32_t pid, std::string& baseName, std::string& path) override;
    std::vector<ProcessEntry> SnapshotProcesses() override;
    PrivilegeOutcome EnableDebugPrivilege() override;
    Handle OpenProcessAllAccess(uint32_t pid) override;
    void QueryExitCode(Handle process, uint32_t& exitCode, uint32_t& lastError) override;
    bool Terminate(Handle process, uint32_t exitCode) override;
    void Close(Handle process) override;
    bool ShellOpenHidden(const std::string& file) override;
    ConnectResult ConnectTest(const std::string& host, uint16_t port, uint32_t timeoutMs) override;

    std::vector<Proc> processes;
    std::vector<TcpOwnerRow> tcpRows;
    TcpTableResult tableResult = TcpTableResult::Ok;
    uint32_t tableError = 0;
    PrivilegeOutcome privilege;
    ConnectResult connectResult = ConnectResult::Failed;

    std::vector<std::pair<uint32_t, uint32_t>> terminated;  // pid, exit code
    std::vector<std::string> shellOpened;
    std::vector<uint32_t> connectTimeouts;
    int openHandles = 0;
};

// Collects host callbacks of one service object.
class UiRecorder {
public:
    explicit UiRecorder(UsbService& service);
    ~UiRecorder();
    UiRecorder(const UiRecorder&) = delete;
    UiRecorder& operator=(const UiRecorder&) = delete;

    std::vector<std::pair<int, std::string>> Messages();
    std::vector<int> Ids();
    size_t Count(int id);
    void Clear();

private:
    UsbService& m_service;
    std::mutex m_mutex;
    std::vector<std::pair<int, std::string>> m_messages;
    static void USB_CDECL Record(int32_t id, const char* json);
    static UiRecorder* s_current;
};

// Captures what the log relay's sendMsg receives.
class RelayRecorder {
public:
    RelayRecorder();
    ~RelayRecorder();
    std::vector<std::string> sent;
    std::function<void(const std::string&)> onSend;

private:
    static void Send(const char* text);
    static RelayRecorder* s_current;
};

}  // namespace Fake
}  // namespace USB
