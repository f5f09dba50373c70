// The ADB server: starting or borrowing it, who owns port 5037, and what the host is asked to do
// when a present phone is missing from the listing.
#include "pipeline/adb_listing.h"
#include "pipeline/adb_server.h"
#include "pipeline_fixture.h"
#include "support/sys_utils.h"

namespace USB {
namespace PipelineTesting {
namespace {

using AdbServerTest = PipelineTest;

// Start results of the bridge: a running server that answers is borrowed until a listing finds
// the bridge started ours; one that does not answer is fatal; a start that failed is not ours.
// An absent bridge is looked for once, beside the host first, then by name, and lists nothing.
TEST_F(AdbServerTest, StartOutcomes)
{
    const struct {
        const char* name;
        std::deque<int> starts;
        ConnectResult probe;
    } rows[] = {
        {"borrowed_then_ours", {-1, -1, 0}, ConnectResult::Connected},
        {"running_but_silent", {-1}, ConnectResult::Failed},
        {"ours", {0}, ConnectResult::Failed},
        {"could_not_start", {-2}, ConnectResult::Connected},
        {"without_init", {-3}, ConnectResult::Connected},  // a bridge without its init entry
        {"without_bridge", {0}, ConnectResult::Connected},
    };
    std::string out;
    for (const auto& row : rows) {
        Fake::ClearTranscript(platform);
        platform.library.loads.clear();
        if (std::string(row.name) == "without_init")
            platform.library.libraries["AdbBridge.dll"].erase("IUSB_Init"), Fake::ReloadAdb();
        if (std::string(row.name) == "without_bridge")
            platform.library.libraries.erase("AdbBridge.dll"), Fake::ReloadAdb();
        bridge.starts = row.starts;
        processes.connect = row.probe;
        AdbListingSource source;
        out += std::string("== ") + row.name + "\nborrowed:";  // after the start, then after each of two listings
        source.StartServer();
        for (int i = 0; i < 3; ++i, source.List())
            out += source.Borrowed() ? " yes" : " no";
        out += "\nloads:";
        for (const std::string& load : platform.library.loads)
            out += " " + load;
        out += "\n" + Fake::LinesWith(platform.Log(), {"adb server", "adbserver", "FATAL", "IUSB_Init", "5037"});
    }
    Fake::ClearTranscript(platform);
    Fake::ExpectTranscript("adb_start", Fake::Transcript(platform, out));
}

// The port's owner is the last listening row; the names of processes, and which are ended.
TEST_F(AdbServerTest, PortOwnerProcessNamesAndKills)
{
    // (state, port, owner): 11 holds a connection to the server, 12 listens on another port
    processes.rows = {{2, 5037, 10}, {5, 5037, 11}, {2, 5038, 12}, {2, 5037, 13}};
    std::string out = "owners:";
    for (TcpTableResult table :
         {TcpTableResult::Ok, TcpTableResult::Ok, TcpTableResult::SizeError, TcpTableResult::AllocError}) {
        processes.table = table;
        out += " " + std::to_string(FindAdbServerPid());
        processes.rows = {{2, 5038, 12}};
    }
    for (const auto& text : platform.system.debugOutput)
        out += "\ndebug: " + text;
    // adb64.exe not inspectable, e.g. no image access from WOW64
    processes.procs = {{40, {"adb.exe"}}, {41, {"adb64.exe", false}}, {0, {"[System Process]", false}}};
    out += "\nnames:";
    for (uint32_t id : {40u, 41u, 0u, 42u})
        out += (id == 40 ? " " : "|") + GetProcessName(id);
    out += "\n";
    processes.procs.insert({{5, {"adb.exe"}}, {7, {"ADB.EXE"}}, {77, {"Parvello_helper.exe"}}, {80, {"notepad.exe"}}});
    KillProcessByName("ADB.exe");                     // names match exactly
    KillAdbServerProcess(80, "Parvello_helper.exe");  // the id now belongs to another program
    KillAdbServerProcess(77, "Parvello_helper.exe");  // ended by its id
    KillAdbServerProcess(0, "adb.exe");               // owner unknown: the first of the name
    KillAdbServerProcess(kNoListener, "adb.exe");
    // Ended with a code that never reads as "still running" (259).
    for (const auto& ended : processes.terminated)
        out += "ended: " + ended + "\n";
    Fake::ExpectTranscript("adb_processes", Fake::Transcript(platform, out));
}

// A present phone the server does not list: who is on the port decides what the host hears.
TEST_F(AdbServerTest, OwnerReports)
{
    const DeviceRecord phone = Fake::Record("ABC123", "18D1", "4EE7");
    const struct {
        bool borrowed;
        uint32_t pid;  // the listener; kNoListener: none
        const char* name;
        bool inspectable;
        OwnerCheck result;
    } rows[] = {
        {false, kNoListener, "", true, OwnerCheck::HostTold},    // nobody: restart the OS
        {false, 40, "adb.exe", true, OwnerCheck::HostTold},      // ours: the host restarts it
        {false, 0, "", true, OwnerCheck::HostTold},              // a table without owner ids, as on Wine
        {true, 50, "tool_adb.exe", true, OwnerCheck::HostTold},  // another program's: the host may kill it
        {true, 50, "tool_adb.exe", false, OwnerCheck::HostTold},
        {true, 77, "Parvello_helper.exe", true, OwnerCheck::AskRescan},  // the host's helper: killed and restarted
    };
    for (const auto& row : rows) {
        processes.procs = {{5, {"Parvello_helper.exe"}}};  // another copy, not the port owner
        processes.rows.clear();
        if (row.pid != kNoListener) {
            if (*row.name)
                processes.procs[row.pid] = {row.name, row.inspectable};
            processes.rows = {{2, 5037, row.pid}};
        }
        EXPECT_EQ(ReportAdbServerOwner(service, row.borrowed, phone), row.result) << row.name;
    }
    EXPECT_EQ(processes.terminated, std::vector<std::string>{"77:1"});
    EXPECT_EQ(processes.shellOpened, std::vector<std::string>{GetExeDirectory() + "Parvello_helper.exe"});
    Fake::ExpectTranscript("adb_owner_reports", host.Transcript());
}

}  // namespace
}  // namespace PipelineTesting
}  // namespace USB
