// Shared helpers as the rest of the library sees them: names, ids, texts, paths, locks.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "fakes/fake_platform.h"
#include "support/sys_utils.h"
#include "support/usb_lock.h"

namespace {

using namespace USB;

OsVersionFacts Facts(uint32_t major, uint32_t minor, uint32_t platform = 2, uint8_t product = 1,
                     uint16_t arch = 0, int serverR2 = 0)
{
    OsVersionFacts f;
    f.ok = true;
    f.major = major;
    f.minor = minor;
    f.platformId = platform;
    f.productType = product;
    f.processorArchitecture = arch;
    f.serverR2 = serverR2;
    return f;
}

TEST(OsName, EveryRowOfTheTable)
{
    constexpr uint32_t kNt = 2, kWindows = 1;
    constexpr uint8_t kWorkstation = 1, kServer = 3;
    constexpr uint16_t kAmd64 = 9, kIntel = 0;
    EXPECT_EQ(OsNameFromFacts(Facts(4, 0, kNt)), "Microsoft Windows NT 4.0");
    EXPECT_EQ(OsNameFromFacts(Facts(4, 0, kWindows)), "Microsoft Windows 95");
    EXPECT_EQ(OsNameFromFacts(Facts(4, 10, kWindows)), "Microsoft Windows 98");
    EXPECT_EQ(OsNameFromFacts(Facts(4, 90, kWindows)), "Microsoft Windows Me");
    EXPECT_EQ(OsNameFromFacts(Facts(5, 0)), "Microsoft Windows 2000");
    EXPECT_EQ(OsNameFromFacts(Facts(5, 1)), "xp");
    EXPECT_EQ(OsNameFromFacts(Facts(5, 2, kNt, kWorkstation, kAmd64)), "xp");
    EXPECT_EQ(OsNameFromFacts(Facts(5, 2, kNt, kServer, kIntel, 0)), "Microsoft Windows Server 2003");
    EXPECT_EQ(OsNameFromFacts(Facts(5, 2, kNt, kWorkstation, kIntel, 0)), "Microsoft Windows Server 2003");
    EXPECT_EQ(OsNameFromFacts(Facts(5, 2, kNt, kServer, kAmd64, 1)), "Microsoft Windows Server 2003 R2");
    EXPECT_EQ(OsNameFromFacts(Facts(6, 0, kNt, kWorkstation)), "vista");
    EXPECT_EQ(OsNameFromFacts(Facts(6, 0, kNt, kServer)), "Microsoft Windows Server 2008");
    EXPECT_EQ(OsNameFromFacts(Facts(6, 1, kNt, kWorkstation)), "win7");
    EXPECT_EQ(OsNameFromFacts(Facts(6, 1, kNt, kServer)), "Microsoft Windows Server 2008 R2");
    EXPECT_EQ(OsNameFromFacts(Facts(6, 2, kNt, kWorkstation)), "win8");
    EXPECT_EQ(OsNameFromFacts(Facts(6, 2, kNt, kServer)), "win8");
    // 4, 5 or 6 with any other minor version: empty.
    EXPECT_EQ(OsNameFromFacts(Facts(4, 0, 0)), "");
    EXPECT_EQ(OsNameFromFacts(Facts(4, 3)), "");
    EXPECT_EQ(OsNameFromFacts(Facts(5, 3)), "");
    EXPECT_EQ(OsNameFromFacts(Facts(6, 3)), "");
    // Any other major version.
    EXPECT_EQ(OsNameFromFacts(Facts(10, 0)), "xp");
    EXPECT_EQ(OsNameFromFacts(Facts(3, 51)), "xp");
    // The version could not be read.
    OsVersionFacts unread = Facts(6, 1);
    unread.ok = false;
    EXPECT_EQ(OsNameFromFacts(unread), "");
}

TEST(OsName, ComesFromTheSystemPort)
{
    Fake::Platform platform;
    platform.system.version = Facts(6, 2);
    EXPECT_EQ(GetOsName(), "win8");
}

TEST(PlatformName, X64OnlyUnderWow64)
{
    Fake::Platform platform;
    platform.system.wow64 = 1;
    EXPECT_EQ(GetPlatformName(), "x64");
    platform.system.wow64 = 0;
    EXPECT_EQ(GetPlatformName(), "x86");
    platform.system.wow64 = -1;  // the query does not exist
    EXPECT_EQ(GetPlatformName(), "x86");
}

TEST(TextConversion, BytePerUnitWithoutCodePage)
{
    const std::wstring wide = NarrowToWide("A\xE9z");
    ASSERT_EQ(wide.size(), 3u);
    EXPECT_EQ(static_cast<uint32_t>(wide[0]), 0x41u);
    EXPECT_EQ(static_cast<uint32_t>(wide[1]), 0xFFE9u);
    EXPECT_EQ(WideToNarrow(wide), "A\xE9z");
    EXPECT_EQ(WideToNarrow(std::wstring(1, static_cast<wchar_t>(0x1234))), "\x34");

    EXPECT_EQ(WideToMultiByte(L"usb log"), "usb log");
    EXPECT_EQ(WideToMultiByte(L""), "");
}

TEST(NeighbourIds, PlusAndMinusOne)
{
    EXPECT_EQ(HexIdPlusOne("4EE2"), "4ee3");
    EXPECT_EQ(HexIdMinusOne("4EE2"), "4ee1");
    EXPECT_EQ(HexIdPlusOne("0001"), "0002");
    EXPECT_EQ(HexIdMinusOne("0001"), "0000");  // not empty
    EXPECT_EQ(HexIdPlusOne("0000"), "");
    EXPECT_EQ(HexIdMinusOne("0000"), "");
    EXPECT_EQ(HexIdPlusOne("WXYZ"), "");
    EXPECT_EQ(HexIdMinusOne(""), "");
    EXPECT_EQ(HexIdPlusOne("0x1a"), "001b");
    EXPECT_EQ(HexIdPlusOne("12&MI_00"), "0013");  // reading stops at the first non-hex character
    EXPECT_EQ(HexIdMinusOne("-5"), "");           // a sign is not a digit
}

TEST(Paths, ExeDirectoryKeepsOneClosingSeparator)
{
    Fake::Platform platform;
    const std::string sep(1, kPathSep);
    platform.system.exePath = "C:" + sep + "A" + sep + "B" + sep + "host.exe";
    EXPECT_EQ(GetExeDirectory(), "C:" + sep + "A" + sep + "B" + sep);
}

TEST(Paths, FileSizes)
{
    Fake::Platform platform;
    const std::string base = platform.root + kPathSep;
    EXPECT_EQ(GetFileSize64(base + "missing.txt"), -1);
    Fake::WriteFile(base + "empty.txt", "");
    EXPECT_EQ(GetFileSize64(base + "empty.txt"), 0);
    Fake::WriteFile(base + "ten.txt", "0123456789");
    EXPECT_EQ(GetFileSize64(base + "ten.txt"), 10);
    // Paths are UTF-8; one that is not (a code-page text) names nothing and throws nothing.
    EXPECT_EQ(GetFileSize64(base + "missing\xE9\xFF.txt"), -1);
    EXPECT_FALSE(FileExists(base + "missing\xE9\xFF.txt"));
}

TEST(TrackTime, LocalTimeWithDashes)
{
    const std::string t = FormatTrackTime();
    ASSERT_EQ(t.size(), 19u) << t;
    EXPECT_EQ(t[4], '-');
    EXPECT_EQ(t[7], '-');
    EXPECT_EQ(t[10], '-');
    EXPECT_EQ(t[13], ':');
    EXPECT_EQ(t[16], ':');
}

TEST(Locks, SameThreadTakesItAgainAndABoundedWaitGivesUpOnAnother)
{
    UsbCLock lock;
    UsbMutex outer(lock);
    UsbMutex inner(lock);  // would hang here if the lock were not re-entrant
    ASSERT_TRUE(lock.TryEnterFor(0));
    lock.Leave();
    bool gotIt = true;
    std::thread([&] { gotIt = lock.TryEnterFor(20); }).join();
    EXPECT_FALSE(gotIt);
}

TEST(Locks, GuardLeftByExceptionFreesTheLock)
{
    UsbCLock lock;
    try {
        UsbMutex guard(lock);
        throw std::runtime_error("step failed");
    } catch (const std::runtime_error&) {
    }
    std::atomic<bool> taken{false};
    std::thread other([&] {
        UsbMutex guard(lock);  // another thread gets it only if the guard released it
        taken = true;
    });
    other.join();
    EXPECT_TRUE(taken);
}

}  // namespace
