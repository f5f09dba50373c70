// config_ini.txt as a user would write it, and what the library makes of it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "fakes/fake_platform.h"
#include "support/Usb_Config.h"
#include "support/sys_utils.h"

namespace {

using namespace USB;

size_t Count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

class Config : public ::testing::Test {
protected:
    // The log is written in text mode: compare it with plain "\n" line ends.
    std::string Log() const
    {
        std::string text = platform.LogText();
        text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
        return text;
    }
    std::string Path() const { return platform.root + kPathSep + "config_ini.txt"; }
    UsbConfig LoadText(const std::string& text)
    {
        Fake::WriteFile(Path(), text);
        return UsbConfig(Path());
    }
    void ExpectAllDefaults(const UsbConfig& c)
    {
        EXPECT_EQ(c.ParvelloAndroidVersion(), "");
        EXPECT_EQ(c.BuildVersion(), "");
        EXPECT_EQ(c.ProtocolVersion(), "1");
        EXPECT_EQ(c.TarnikVersion(), "1");
        EXPECT_EQ(c.BrumothVersion(), "1");
        EXPECT_EQ(c.DriverHost(), kDefaultDriverHost);
    }
    void ExpectSixDefaultPairs()
    {
        const std::string log = Log();
        EXPECT_EQ(Count(log, "]: no load ini file\n"), 6u) << log;
        EXPECT_EQ(Count(log, "]: will be default value\n"), 6u) << log;
    }

    Fake::Platform platform;
};

TEST_F(Config, FullFileSetsEverything)
{
    const UsbConfig c = LoadText(
        "[version]\n"
        "parvello_android_version=3.2.1\n"
        "build_version=5.0.7\n"
        "protocol_version=2\n"
        "tarnik_version=11\n"
        "brumoth_version=12\n"
        "[web]\n"
        "driver_host=http://cloud.example:8080\n");
    EXPECT_EQ(c.ParvelloAndroidVersion(), "3.2.1");
    EXPECT_EQ(c.BuildVersion(), "5.0.7");
    EXPECT_EQ(c.ProtocolVersion(), "2");
    EXPECT_EQ(c.TarnikVersion(), "11");
    EXPECT_EQ(c.BrumothVersion(), "12");
    EXPECT_EQ(c.DriverHost(), "http://cloud.example:8080");
    EXPECT_EQ(Count(Log(), "no load ini file"), 0u);
}

TEST_F(Config, MissingFileLogsAndTakesDefaults)
{
    const UsbConfig c(Path());
    ExpectAllDefaults(c);
    EXPECT_NE(Log().find("]: cant open file " + Path() + "\n"), std::string::npos);
    ExpectSixDefaultPairs();
}

TEST_F(Config, DefaultPathIsBesideTheHostExecutable)
{
    Fake::WriteFile(platform.root + kPathSep + "config_ini.txt", "[version]\nbuild_version=9.9\n");
    const UsbConfig c;  // the fake host lives in platform.root
    EXPECT_EQ(c.BuildVersion(), "9.9");
}

TEST_F(Config, SizeLimit)
{
    const std::string entry = "[web]\ndriver_host=http://limit\n";
    std::string text = entry + ";" + std::string(4095 - entry.size() - 2, 'x') + "\n";
    ASSERT_EQ(text.size(), 4095u);
    EXPECT_EQ(LoadText(text).DriverHost(), "http://limit");

    text.insert(entry.size(), ";\n");
    text.resize(4096, 'x');
    const UsbConfig refused = LoadText(text);
    ExpectAllDefaults(refused);
    EXPECT_NE(Log().find("]: file size is 4096,\n"), std::string::npos);
    ExpectSixDefaultPairs();
}

TEST_F(Config, EmptyFileBehavesAsMissing)
{
    const UsbConfig c = LoadText("");
    ExpectAllDefaults(c);
    EXPECT_NE(Log().find("]: file size is zero.\n"), std::string::npos);
    ExpectSixDefaultPairs();
}

TEST_F(Config, KeysAreTakenExactly)
{
    // Blanks around '=' and a mere prefix of the key do not answer for driver_host.
    EXPECT_EQ(LoadText("[web]\ndriver_host = http://spaced\ndriver=http://prefix\n").DriverHost(),
              kDefaultDriverHost);
    // Nothing after '=' is an empty value, not the default.
    EXPECT_EQ(LoadText("[web]\ndriver_host=\n").DriverHost(), "");
    // The value is not trimmed either.
    EXPECT_EQ(LoadText("[web]\ndriver_host= http://a \n").DriverHost(), " http://a ");
    // A line that starts with '=' names no key.
    EXPECT_EQ(LoadText("[web]\n=driver_host=x\ndriver_host=http://b\n").DriverHost(), "http://b");
    // No key was found anywhere, and no defaults were announced for a loaded file.
    EXPECT_EQ(Count(Log(), "no load ini file"), 0u);
}

TEST_F(Config, SectionsAreMatchedExactly)
{
    EXPECT_EQ(LoadText("[Web]\ndriver_host=http://capital\n").DriverHost(), kDefaultDriverHost);
    EXPECT_EQ(LoadText("  [web]\ndriver_host=http://indented\n").DriverHost(), kDefaultDriverHost);
    EXPECT_EQ(LoadText("[web]\nbuild_version=7\n").BuildVersion(), "");
    // Whatever follows the header on its own line is read as an entry.
    EXPECT_EQ(LoadText("[web]   driver_host=http://same-line\n").DriverHost(), "http://same-line");
}

TEST_F(Config, CommentLinesAreSkipped)
{
    EXPECT_EQ(LoadText("[web]\n;driver_host=http://commented\n").DriverHost(), kDefaultDriverHost);
    EXPECT_EQ(LoadText("[web]\n;driver_host=http://commented\ndriver_host=http://live\n").DriverHost(),
              "http://live");
}

TEST_F(Config, RepeatedSectionsAreAllSearched)
{
    const UsbConfig c = LoadText(
        "[version]\nbuild_version=1.0\n"
        "[web]\ndriver_host=http://h\n"
        "[version]\nprotocol_version=7\nbuild_version=2.0\n");
    EXPECT_EQ(c.BuildVersion(), "1.0");  // the first match in file order wins
    EXPECT_EQ(c.ProtocolVersion(), "7");
    EXPECT_EQ(c.TarnikVersion(), "1");   // missing everywhere: its default
}

TEST_F(Config, LongValuesAreCutTo127)
{
    const std::string value(200, 'v');
    EXPECT_EQ(LoadText("[web]\ndriver_host=" + value + "\n").DriverHost(), value.substr(0, 127));
}

TEST_F(Config, WindowsLineEnds)
{
    const UsbConfig c = LoadText("[version]\r\nbuild_version=2.1\r\n[web]\r\ndriver_host=http://crlf\r\n");
    EXPECT_EQ(c.BuildVersion(), "2.1");
    EXPECT_EQ(c.DriverHost(), "http://crlf");
}

TEST_F(Config, FindReportsPositions)
{
    const char* text = "[web]  \ndriver_host=abc\n";
    int section = 0, body = 0, keyStart = 0, keyEnd = 0, valueStart = 0, valueEnd = 0;
    ASSERT_EQ(FindIniEntry("web", "driver_host", text, &section, &body, &keyStart, &keyEnd, &valueStart,
                           &valueEnd), 1);
    EXPECT_EQ(section, 1);
    EXPECT_EQ(body, 7);
    EXPECT_EQ(keyStart, 8);
    EXPECT_EQ(keyEnd, 18);
    EXPECT_EQ(valueStart, 20);
    EXPECT_EQ(valueEnd, 23);

    EXPECT_EQ(FindIniEntry("web", "nothing", text, &section, &body, &keyStart, &keyEnd, &valueStart,
                           &valueEnd), 0);
    EXPECT_EQ(keyStart, -1);
    EXPECT_EQ(valueEnd, -1);
}

TEST_F(Config, ReadWithoutDefaultLeavesTheBuffer)
{
    IniFile ini;
    Fake::WriteFile(Path(), "[web]\ndriver_host=x\n");
    LoadIniFile(Path().c_str(), ini);
    char out[kIniValueBuffer];
    std::strcpy(out, "kept");
    ReadIniString("web", "missing", out, nullptr, ini);
    EXPECT_STREQ(out, "kept");
}

TEST_F(Config, BadPathsAreRefused)
{
    IniFile ini;
    LoadIniFile(nullptr, ini);
    EXPECT_EQ(ini.m_size, -1);
    const std::string longPath(300, 'p');
    LoadIniFile(longPath.c_str(), ini);
    EXPECT_EQ(ini.m_size, -1);
    const std::string log = Log();
    EXPECT_NE(log.find("]: file parameter is NULL.\n"), std::string::npos);
    EXPECT_NE(log.find("]: file name too long\n"), std::string::npos);
}

}  // namespace
