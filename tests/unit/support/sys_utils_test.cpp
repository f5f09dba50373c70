// Shared helpers where their rules reach the host: names from the system port, texts, paths.
#include <gtest/gtest.h>

#include "fakes/fake_platform.h"
#include "support/sys_utils.h"

namespace {

using namespace USB;

TEST(SystemFacts, OsAndPlatformNamesComeFromTheSystemPort)
{
    Fake::Platform platform;
    platform.system.version = OsVersionFacts{true, 6, 1, 2, 1, 0, 0};
    EXPECT_EQ(GetOsName(), "win7");
    platform.system.version = OsVersionFacts{true, 5, 2, 2, 1, 9, 0};  // 64-bit workstation
    EXPECT_EQ(GetOsName(), "xp");
    platform.system.version.ok = false;
    EXPECT_EQ(GetOsName(), "");
    const struct {
        int wow64;
        const char* name;
    } rows[] = {{1, "x64"}, {0, "x86"}, {-1, "x86"}};
    for (const auto& row : rows) {
        platform.system.wow64 = row.wow64;
        EXPECT_EQ(GetPlatformName(), row.name) << row.wow64;
    }
    const std::string sep(1, kPathSep);
    platform.system.exePath = "C:" + sep + "A" + sep + "host.exe";
    EXPECT_EQ(GetExeDirectory(), "C:" + sep + "A" + sep);
}

TEST(Texts, BytePerUnitConversionsWithoutACodePage)
{
    const std::wstring wide = NarrowToWide("A\xE9z");
    EXPECT_EQ(wide, (std::wstring{L'A', static_cast<wchar_t>(0xFFE9), L'z'}));
    EXPECT_EQ(WideToNarrow(wide), "A\xE9z");
    EXPECT_EQ(WideToNarrow(std::wstring(1, static_cast<wchar_t>(0x1234))), "\x34");
}

TEST(Paths, FileSizesOfUtf8Paths)
{
    Fake::Platform platform;
    const std::string base = platform.root + kPathSep;
    Fake::WriteFile(base + "ten.txt", "0123456789");
    EXPECT_EQ(GetFileSize64(base + "ten.txt"), 10);
    EXPECT_EQ(GetFileSize64(base + "missing.txt"), -1);
    // A code-page text is no UTF-8 path: it names nothing and throws nothing.
    EXPECT_EQ(GetFileSize64(base + "missing\xE9\xFF.txt"), -1);
    EXPECT_FALSE(FileExists(base + "missing\xE9\xFF.txt"));
}

}  // namespace
