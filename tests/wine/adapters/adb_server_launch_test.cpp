// AdbBridge's launcher of "adb start-server": it finds the adb.exe beside the host in a folder of
// any name.
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "adb_server_launch.h"
#include "wine/wine_files.h"

namespace {

namespace fs = std::filesystem;

// A copy of this program in a profile named outside the ANSI code page runs the test below,
// beside a stand-in adb.exe that leaves the command line it was started with.
TEST(AdbServerLaunch, StartsTheAdbBesideAHostInAFolderOfAnyName)
{
    const fs::path self = SelfPath(), folder = fs::path(TempDir()) / L"Jos\u00e9 \u5f20\u4f1f";
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    fs::create_directories(folder);
    fs::copy_file(self, folder / self.filename());
    ASSERT_TRUE(fs::copy_file(self.parent_path() / L"adb_stand_in.exe", folder / L"adb.exe"));
    HANDLE host =
        StartProgram(folder / self.filename(), L"--gtest_filter=AdbServerLaunch.StartsTheAdbBesideThisProgram");
    ASSERT_NE(host, nullptr);
    EXPECT_EQ(Finish(host, 60000), 0u) << "the copy did not start the adb.exe beside it";
    for (int i = 0; i < 500 && ReadAll(folder / L"adb_started.txt").empty(); ++i)
        Sleep(10);
    EXPECT_EQ(ReadAll(folder / L"adb_started.txt"), "\"" + (folder / L"adb.exe").u8string() + "\" start-server");
    for (int i = 0; i < 100 && fs::remove_all(folder, ignored) == static_cast<std::uintmax_t>(-1); ++i)
        Sleep(50);  // the stand-in may still be ending
}

TEST(AdbServerLaunch, StartsTheAdbBesideThisProgram)
{
    if (!fs::exists(fs::path(SelfPath()).replace_filename(L"adb.exe")))
        GTEST_SKIP() << "run by the test above, from a folder with an adb.exe";
    EXPECT_TRUE(adb::LaunchAdbStartServer());
}

}  // namespace
