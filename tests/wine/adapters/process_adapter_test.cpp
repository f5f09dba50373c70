// The process-control adapter against real Windows processes and sockets under Wine.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstring>
#include <cwchar>
#include <string>

#include "fakes/fake_platform.h"
#include "pipeline/adb_server.h"
#include "support/ports.h"
#include "support/win32/win32_text.h"

namespace {

// A copy of this program (or of its other-bitness build) named pipeline_*.exe only waits, so
// the tests have Windows processes of known names to look at and to end.
const int g_sleeper = [] {
    wchar_t self[MAX_PATH] = {0};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const wchar_t* base = std::wcsrchr(self, L'\\');
    if (base && std::wcsncmp(base + 1, L"pipeline_", 9) == 0) {
        Sleep(60000);
        ExitProcess(0);
    }
    return 0;
}();

std::wstring SelfPath()
{
    wchar_t self[MAX_PATH] = {0};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    return self;
}

std::wstring TempDir()
{
    wchar_t temp[MAX_PATH] = {0};
    GetTempPathW(MAX_PATH, temp);
    return temp;
}

class Sleeper {
public:
    explicit Sleeper(const std::string& exeName, const std::wstring& source = SelfPath(),
                     const std::wstring& dir = TempDir())
        : path(dir + std::wstring(exeName.begin(), exeName.end()))
    {
        CopyFileW(source.c_str(), path.c_str(), FALSE);
        std::wstring command = L"\"" + path + L"\"";
        STARTUPINFOW si{};
        si.cb = sizeof(si);
        started = CreateProcessW(path.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi) != 0;
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
        DeleteFileW(path.c_str());
    }
    bool Running() { return WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT; }
    bool Ended(DWORD ms) { return WaitForSingleObject(pi.hProcess, ms) == WAIT_OBJECT_0; }

    std::wstring path;
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

TEST_F(ProcessAdapterTest, ProgramOfTheOtherBitnessIsNamedById)
{
    // Under WOW64 the helper is the 64-bit build of this program (its tree lies beside ours),
    // whose modules a 32-bit process cannot list; elsewhere a copy of this program.
    BOOL wow64 = FALSE;
    IsWow64Process(GetCurrentProcess(), &wow64);
    std::wstring source = SelfPath();
    if (wow64) {
        const size_t tree = source.rfind(L"\\win\\bin\\");
        ASSERT_NE(tree, std::wstring::npos) << "not run from the 32-bit tree";
        source.replace(tree, 9, L"\\win64\\bin\\");
        ASSERT_NE(GetFileAttributesW(source.c_str()), INVALID_FILE_ATTRIBUTES) << "no 64-bit build beside this one";
    }
    Sleeper helper("pipeline_bitness.exe", source);
    ASSERT_TRUE(helper.started);
    Sleep(300);
    std::string base;
    std::string path;
    ASSERT_TRUE(USB::GetPorts().process->QueryProcessImage(helper.pi.dwProcessId, base, path));
    EXPECT_EQ(base, "pipeline_bitness.exe");
    EXPECT_EQ(path.substr(path.size() - base.size() - 1), "\\" + base);
    EXPECT_EQ(USB::GetProcessName(helper.pi.dwProcessId), "pipeline_bitness.exe");
}

TEST_F(ProcessAdapterTest, ProgramInAFolderOfAnyNameIsOpenedByItsUtf8Path)
{
    const std::wstring dir = TempDir() + L"pipeline Jos\u00e9 \u6570\\";
    const std::wstring program = dir + L"pipeline_shell.exe";
    CreateDirectoryW(dir.c_str(), nullptr);
    ASSERT_TRUE(CopyFileW(SelfPath().c_str(), program.c_str(), FALSE));
    ASSERT_TRUE(USB::GetPorts().process->ShellOpenHidden(USB::WideToUtf8(program)));
    bool seen = false;
    for (int i = 0; i < 100 && !seen; ++i) {
        Sleep(50);
        for (const USB::ProcessEntry& entry : USB::GetPorts().process->SnapshotProcesses())
            seen = seen || entry.exeName == "pipeline_shell.exe";
    }
    EXPECT_TRUE(seen);
    USB::KillProcessByName("pipeline_shell.exe");
    for (int i = 0; i < 100 && !DeleteFileW(program.c_str()); ++i)
        Sleep(50);
    RemoveDirectoryW(dir.c_str());
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
