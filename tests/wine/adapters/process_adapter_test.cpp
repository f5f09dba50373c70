// The process-control adapter against real Windows processes under Wine. (What Wine's socket
// table says of the ADB port's owner shows in the end-to-end foreign and silent server scenarios.)
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <filesystem>

#include "pipeline/adb_server.h"
#include "support/ports/ports.h"
#include "win32/wide_text.h"
#include "wine/wine_files.h"

namespace {

// A copy of this program (or of its other-bitness build) named pipeline_*.exe only waits, so
// the tests have Windows processes of known names to look at and to end.
const int g_sleeper = [] {
    if (std::filesystem::path(SelfPath()).filename().wstring().rfind(L"pipeline_", 0) == 0) {
        Sleep(60000);
        ExitProcess(0);
    }
    return 0;
}();

struct Sleeper {
    explicit Sleeper(const char* name, const std::wstring& source = SelfPath())
        : path(TempDir() + std::wstring(name, name + std::strlen(name)))
    {
        CopyFileW(source.c_str(), path.c_str(), FALSE);
        process = StartProgram(path);
        Sleep(300);  // let the loader map the image
    }
    ~Sleeper()
    {
        TerminateProcess(process, 1);
        Finish(process, 5000);
        DeleteFileW(path.c_str());
    }
    bool Ended(DWORD ms) { return WaitForSingleObject(process, ms) == WAIT_OBJECT_0; }
    DWORD Id() const { return GetProcessId(process); }

    std::wstring path;
    HANDLE process = nullptr;
};

TEST(ProcessAdapter, ProgramsAreNamedByIdAndEndedByExactNameOrByAnIdThatStillHasTheName)
{
    Sleeper target("pipeline_victim.exe"), bystander("pipeline_bystander.exe"), owner("pipeline_owner.exe");
    ASSERT_TRUE(target.process && bystander.process && owner.process);
    EXPECT_EQ(USB::GetProcessName(target.Id()), "pipeline_victim.exe");
    EXPECT_EQ(USB::GetProcessName(0xFFFFFFF0u), "");
    USB::KillProcessByName("PIPELINE_VICTIM.EXE");  // names are compared exactly
    EXPECT_FALSE(target.Ended(200));
    USB::KillProcessByName("pipeline_victim.exe");
    EXPECT_TRUE(target.Ended(5000));
    USB::KillAdbServerProcess(owner.Id(), "pipeline_bystander.exe");  // id and name disagree
    EXPECT_FALSE(owner.Ended(200));
    USB::KillAdbServerProcess(owner.Id(), "pipeline_owner.exe");
    EXPECT_TRUE(owner.Ended(5000));
    EXPECT_FALSE(bystander.Ended(0));
}

TEST(ProcessAdapter, ProgramOfTheOtherBitnessIsNamedById)
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
    ASSERT_NE(helper.process, nullptr);
    std::string base, path;
    ASSERT_TRUE(USB::GetPorts().process->QueryProcessImage(helper.Id(), base, path));
    EXPECT_EQ(base, "pipeline_bitness.exe");
    EXPECT_EQ(path.substr(path.size() - base.size() - 1), "\\" + base);
    EXPECT_EQ(USB::GetProcessName(helper.Id()), "pipeline_bitness.exe");
}

TEST(ProcessAdapter, ProgramInAFolderOfAnyNameIsOpenedByItsUtf8Path)
{
    const std::wstring dir = TempDir() + L"pipeline Jos\u00e9 \u6570\\";
    const std::wstring program = dir + L"pipeline_shell.exe";
    CreateDirectoryW(dir.c_str(), nullptr);
    ASSERT_TRUE(CopyFileW(SelfPath().c_str(), program.c_str(), FALSE));
    ASSERT_TRUE(USB::GetPorts().process->ShellOpenHidden(USB::WideToUtf8(program)));
    bool seen = false;
    for (int i = 0; i < 100 && !seen; ++i, Sleep(50))
        for (const USB::ProcessEntry& entry : USB::GetPorts().process->SnapshotProcesses())
            seen = seen || entry.exeName == "pipeline_shell.exe";
    EXPECT_TRUE(seen);
    USB::KillProcessByName("pipeline_shell.exe");
    for (int i = 0; i < 100 && !DeleteFileW(program.c_str()); ++i)
        Sleep(50);
    RemoveDirectoryW(dir.c_str());
}

}  // namespace
