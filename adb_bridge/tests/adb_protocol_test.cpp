#include "adb_protocol.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "adb_bridge.h"

namespace adb {
namespace {

// Requests carry their length in lower-case hex; lengths, statuses and versions parse strictly.
TEST(Framing, RequestsAndReplies)
{
    std::string framed;
    ASSERT_TRUE(EncodeRequest("host:version", &framed));
    EXPECT_EQ(framed, "000chost:version");
    ASSERT_TRUE(EncodeRequest(std::string(0xFFFF, 'x'), &framed));
    EXPECT_EQ(framed.substr(0, 4), "ffff");
    EXPECT_FALSE(EncodeRequest(std::string(0x10000, 'x'), &framed));
    EXPECT_FALSE(EncodeRequest("", &framed));
    EXPECT_EQ(TransportRequest(""), "host:transport-any");  // with a serial: the client tests, on the wire
    EXPECT_EQ(ForwardRequest("", "tcp:1", "localabstract:x"), "host:forward:tcp:1;localabstract:x");
    std::size_t v = 0;
    EXPECT_TRUE(ParseHex4("001A", &v));
    EXPECT_EQ(v, 26u);
    EXPECT_FALSE(ParseHex4("00g1", &v) || ParseHex4(" 001", &v));
    EXPECT_TRUE(ParseStatus("OKAY") == Status::kOkay && ParseStatus("FAIL") == Status::kFail);
    EXPECT_EQ(ParseStatus("okay"), Status::kInvalid);
    int version = 0;
    EXPECT_FALSE(ParseVersion("29", &version));  // "0028": the client tests
}

TEST(ServerPort, EnvironmentValueOrDefault)
{
    EXPECT_EQ(ParsePortOrDefault("15037"), 15037);
    for (const char* bad : {static_cast<const char*>(nullptr), "", "0", "70000", "50x"})
        EXPECT_EQ(ParsePortOrDefault(bad), 5037);
}

TEST(Install, RemotePathQuotingNamesTokensAndResults)
{
    EXPECT_EQ(RemoteInstallPath("C:\\apps\\My App.apk"), "/data/local/tmp/My App.apk");
    EXPECT_EQ(RemoteInstallPath("/tmp/x/app.apk"), "/data/local/tmp/app.apk");
    EXPECT_EQ(RemoteInstallPath("C:\\apps\\"), "");
    EXPECT_EQ(ShellQuote("it's;rm"), "'it'\\''s;rm'");
    // What may reach a device's shell or the server's service names, and what counts as installed.
    EXPECT_TRUE(IsValidPackageName("com.example.app_2") && IsPlainToken("192.168.0.5:5555", ";"));
    for (const char* bad : {"com.example;reboot", "a b", ".hidden"})
        EXPECT_FALSE(IsValidPackageName(bad)) << bad;
    for (const char* bad : {"tcp:1;tcp:2", "a b", "a\nb", ""})
        EXPECT_FALSE(IsPlainToken(bad, ";")) << bad;
    EXPECT_TRUE(PackageManagerSucceeded("Performing Streamed Install\nSuccess\n") &&
                PackageManagerSucceeded("Success\r\n"));
    EXPECT_FALSE(PackageManagerSucceeded("Failure [INSTALL_FAILED_Success]\n") || PackageManagerSucceeded(""));
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

// The .def that links the DLL and makes hosts' import libraries names the header's list, in its
// order; a result code prints as the name a host finds in the header.
TEST(Interface, DefinitionFileExportsTheHeadersListAndResultsHaveNames)
{
    std::ifstream file(ADB_BRIDGE_DEF);
    ASSERT_TRUE(file) << ADB_BRIDGE_DEF;
    std::vector<std::string> exported;
    bool exports = false;
    for (std::string line, word; std::getline(file, line);) {
        std::istringstream words(line.substr(0, line.find(';')));
        if (!(words >> word))
            continue;
        if (exports)
            exported.push_back(word);
        exports = exports || word == "EXPORTS";
    }
    // Each one declared in the header, too.
    const std::vector<std::string> listed = {
#define LISTED(name) (static_cast<void>(sizeof(&::name)), #name),
        ADB_BRIDGE_EXPORTS(LISTED)
#undef LISTED
    };
    EXPECT_EQ(exported, listed);

    EXPECT_STREQ(ErrorName(IUSB_ERR_IO), "IUSB_ERR_IO");
    EXPECT_STREQ(ErrorName(OK), "IUSB_OK");
    EXPECT_STREQ(ErrorText(IUSB_SERVER_RUNNING), "a server already holds the port");
    EXPECT_STREQ(ErrorName(12), "");  // a byte count
}

}  // namespace
}  // namespace adb
