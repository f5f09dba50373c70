#include "adb_protocol.h"

#include <gtest/gtest.h>

namespace adb {
namespace {

TEST(Framing, RequestsCarryTheirLengthInLowerCaseHex)
{
    std::string framed;
    ASSERT_TRUE(EncodeRequest("host:version", &framed));
    EXPECT_EQ(framed, "000chost:version");
    ASSERT_TRUE(EncodeRequest(std::string(0xFFFF, 'x'), &framed));
    EXPECT_EQ(framed.substr(0, 4), "ffff");
    EXPECT_FALSE(EncodeRequest(std::string(0x10000, 'x'), &framed));
    EXPECT_FALSE(EncodeRequest("", &framed));
}

TEST(Framing, LengthsAndStatusesParseStrictly)
{
    std::size_t v = 0;
    EXPECT_TRUE(ParseHex4("001A", &v));
    EXPECT_EQ(v, 26u);
    EXPECT_FALSE(ParseHex4("00g1", &v));
    EXPECT_FALSE(ParseHex4(" 001", &v));
    EXPECT_EQ(ParseStatus("OKAY"), Status::kOkay);
    EXPECT_EQ(ParseStatus("FAIL"), Status::kFail);
    EXPECT_EQ(ParseStatus("okay"), Status::kInvalid);
    int version = 0;
    EXPECT_TRUE(ParseVersion("0029", &version));
    EXPECT_EQ(version, 41);
    EXPECT_FALSE(ParseVersion("29", &version));
}

TEST(Listing, FitsOnLineBoundaryAndLeavesRoomForTheTerminator)
{
    const std::string text = "aaa\tdevice\nbbb\tdevice\n";  // 22 bytes, lines of 11
    EXPECT_EQ(FitOnLineBoundary(text, 23), 22u);
    EXPECT_EQ(FitOnLineBoundary(text, 22), 11u);  // no room for NUL: drop a line
    EXPECT_EQ(FitOnLineBoundary(text, 12), 11u);
    EXPECT_EQ(FitOnLineBoundary(text, 11), 0u);  // no partial lines, ever
    EXPECT_EQ(FitOnLineBoundary(text, 1), 0u);
    EXPECT_EQ(FitOnLineBoundary(text, 0), 0u);
    EXPECT_EQ(FitOnLineBoundary("", 1), 0u);
}

TEST(ServerPort, EnvironmentValueOrDefault)
{
    EXPECT_EQ(ParsePortOrDefault(nullptr), 5037);
    EXPECT_EQ(ParsePortOrDefault(""), 5037);
    EXPECT_EQ(ParsePortOrDefault("15037"), 15037);
    EXPECT_EQ(ParsePortOrDefault("0"), 5037);
    EXPECT_EQ(ParsePortOrDefault("70000"), 5037);
    EXPECT_EQ(ParsePortOrDefault("50x"), 5037);
}

TEST(Services, TransportAndForwardRequests)
{
    EXPECT_EQ(TransportRequest("emulator-5554"), "host:transport:emulator-5554");
    EXPECT_EQ(TransportRequest(""), "host:transport-any");
    EXPECT_EQ(ForwardRequest("SER1", "tcp:6100", "tcp:7100"), "host-serial:SER1:forward:tcp:6100;tcp:7100");
    EXPECT_EQ(ForwardRequest("", "tcp:1", "localabstract:x"), "host:forward:tcp:1;localabstract:x");
}

TEST(Sync, HeadersAreLittleEndian)
{
    std::string h = SyncHeader("DATA", 0x01020304);
    EXPECT_EQ(h, std::string("DATA\x04\x03\x02\x01", 8));
    std::string id;
    std::uint32_t value = 0;
    ParseSyncHeader("DONE\xff\x00\x00\x80", &id, &value);
    EXPECT_EQ(id, "DONE");
    EXPECT_EQ(value, 0x800000FFu);
}

TEST(Install, RemotePathAndQuoting)
{
    EXPECT_EQ(RemoteInstallPath("C:\\apps\\My App.apk"), "/data/local/tmp/My App.apk");
    EXPECT_EQ(RemoteInstallPath("/tmp/x/app.apk"), "/data/local/tmp/app.apk");
    EXPECT_EQ(RemoteInstallPath("C:\\apps\\"), "");
    EXPECT_EQ(ShellQuote("a b"), "'a b'");
    EXPECT_EQ(ShellQuote("it's;rm"), "'it'\\''s;rm'");
}

TEST(Install, PackageNamesAndResults)
{
    EXPECT_TRUE(IsValidPackageName("com.example.app_2"));
    EXPECT_FALSE(IsValidPackageName("com.example;reboot"));
    EXPECT_FALSE(IsValidPackageName("a b"));
    EXPECT_FALSE(IsValidPackageName(".hidden"));
    EXPECT_TRUE(PackageManagerSucceeded("Performing Streamed Install\nSuccess\n"));
    EXPECT_TRUE(PackageManagerSucceeded("Success\r\n"));
    EXPECT_FALSE(PackageManagerSucceeded("Failure [INSTALL_FAILED_Success]\n"));
    EXPECT_FALSE(PackageManagerSucceeded(""));
}

TEST(Tokens, RejectSeparatorsAndControlCharacters)
{
    EXPECT_TRUE(IsPlainToken("192.168.0.5:5555", ";"));
    EXPECT_FALSE(IsPlainToken("tcp:1;tcp:2", ";"));
    EXPECT_FALSE(IsPlainToken("a b", ";"));
    EXPECT_FALSE(IsPlainToken("a\nb", ";"));
    EXPECT_FALSE(IsPlainToken("", ";"));
}

bool OnTestDisk(const std::string& path)
{
    for (const char* file : {"C:\\host\\adb.exe", "adb.exe", ".\\adb.exe", "tools\\adb.exe", "D:\\tools\\adb.exe",
                             "E:\\sdk\\adb", "F:\\later\\adb.exe"})
        if (path == file)
            return true;
    return false;
}

TEST(Launch, AdbComesFromTheHostFolderOrAbsolutePathFoldersNeverTheCurrentOne)
{
    EXPECT_EQ(AdbProgramCandidates("C:\\host\\", ".;;tools;\"D:\\tools\";E:\\sdk\\;F:\\later", &OnTestDisk),
              (std::vector<std::string>{"C:\\host\\adb.exe", "D:\\tools\\adb.exe", "E:\\sdk\\adb"}));
    EXPECT_TRUE(AdbProgramCandidates("", ".;tools;.\\", &OnTestDisk).empty());
}

}  // namespace
}  // namespace adb
