// The process-control adapter against real Windows processes and sockets under Wine.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstring>
#include <string>

#include "fakes/fake_platform.h"
#include "pipeline/adb_server.h"
#include "support/ports.h"

namespace {

// A copy of this program started with this flag only waits, so the tests have Windows
// processes of known names to look at and to end.
const char kSleeperFlag[] = "--pipeline-sleeper";
const int g_sleeper = [] {
    if (std::strstr(GetCommandLineA(), kSleeperFlag)) {
        Sleep(60000);
        ExitProcess(0);
    }
    return 0;
}();

class Sleeper {
public:
    explicit Sleeper(const std::string& exeName)
    {
        char self[MAX_PATH] = {0};
        GetModuleFileNameA(nullptr, self, MAX_PATH);
        char temp[MAX_PATH] = {0};
        GetTempPathA(MAX_PATH, temp);
        path = std::string(temp) + exeName;
        CopyFileA(self, path.c_str(), FALSE);
        std::string command = "\"" + path + "\" " + kSleeperFlag;
        STARTUPINFOA si{};
        si.cb = sizeof(si);
        started = CreateProcessA(path.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi) != 0;
    }
    ~Sleeper()
    {
        if (started) {
            if (Running())
                TerminateProcess(pi.hProcess, 1);
            WaitForSingleObject(pi.hProcess, 5000);
            CloseHandle(pi.hProcess);
            CloseHandle(pi.hThread);
        }
        DeleteFileA(path.c_str());
    }
    bool Running() { return WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT; }
    bool Ended(DWORD ms) { return WaitForSingleObject(pi.hProcess, ms) == WAIT_OBJECT_0; }

    std::string path;
    PROCESS_INFORMATION pi{};
    bool started = false;
};

// Each test gets a fresh data directory; the process port stays the real adapter.
class ProcessAdapterTest : public ::testing::Test {
protected:
    ProcessAdapterTest() : saved(USB::GetPorts().system)
    {
        system.appData = USB::Fake::MakeTempDir();
    }
    ~ProcessAdapterTest() override
    {
        USB::GetPorts().system = saved;
        USB::Fake::RemoveTree(system.appData);
    }
    void SetUp() override
    {
        ASSERT_NE(USB::GetPorts().process, nullptr);
        USB::GetPorts().system = &system;
    }
    USB::SystemPort* saved;
    USB::Fake::System system;
};

TEST_F(ProcessAdapterTest, ProcessNameOfARunningProgramById)
{
    Sleeper sleeper("pipeline_named.exe");
    ASSERT_TRUE(sleeper.started);
    Sleep(300);  // let the loader map the image
    EXPECT_EQ(USB::GetProcessName(sleeper.pi.dwProcessId), "pipeline_named.exe");
    EXPECT_EQ(USB::GetProcessName(GetCurrentProcessId()).empty(), false);
    EXPECT_EQ(USB::GetProcessName(0xFFFFFFF0u), "");
}

TEST_F(ProcessAdapterTest, KillByNameEndsThatProgramOnly)
{
    Sleeper target("pipeline_victim.exe");
    Sleeper bystander("pipeline_bystander.exe");
    ASSERT_TRUE(target.started && bystander.started);
    USB::KillProcessByName("PIPELINE_VICTIM.EXE");  // names are compared exactly
    EXPECT_FALSE(target.Ended(200));
    USB::KillProcessByName("pipeline_victim.exe");
    EXPECT_TRUE(target.Ended(5000));
    EXPECT_TRUE(bystander.Running());
    USB::KillProcessByName("pipeline_nobody.exe");
    EXPECT_TRUE(bystander.Running());
}

TEST_F(ProcessAdapterTest, KnownOwnerIdIsEndedWhenItStillHasTheName)
{
    Sleeper first("pipeline_twin.exe");
    Sleeper owner("pipeline_twin2.exe");
    ASSERT_TRUE(first.started && owner.started);
    Sleep(300);
    USB::KillAdbServerProcess(owner.pi.dwProcessId, "pipeline_twin.exe");  // id and name disagree
    EXPECT_FALSE(owner.Ended(200));
    USB::KillAdbServerProcess(owner.pi.dwProcessId, "pipeline_twin2.exe");
    EXPECT_TRUE(owner.Ended(5000));
    EXPECT_TRUE(first.Running());
}

TEST_F(ProcessAdapterTest, ListeningSocketOnTheAdbPortIsSeenInWinesTable)
{
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(s, INVALID_SOCKET);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(5037);
    inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(s, 1) != 0) {
        closesocket(s);
        WSACleanup();
        GTEST_SKIP() << "127.0.0.1:5037 is busy (another test's ADB server?); not checked this run";
    }
    // Wine gives every socket the owner id 0: the row is found, its owner reads as 0, and the
    // library then has no name to act on (the host is asked to restart the server, not the OS).
    EXPECT_EQ(USB::FindAdbServerPid(), 0u);
    EXPECT_EQ(USB::GetProcessName(0), "");
    EXPECT_TRUE(USB::ProbeAdbPort());
    closesocket(s);
    EXPECT_FALSE(USB::ProbeAdbPort());
    WSACleanup();
}

}  // namespace
