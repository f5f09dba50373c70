// config_ini.txt as a user writes it, and what the library makes of it.
#include <gtest/gtest.h>

#include <cstdio>

#include "fakes/fake_platform.h"
#include "support/config.h"
#include "support/sys_utils.h"

namespace {

using namespace USB;

class Config : public ::testing::Test {
protected:
    std::string Path() const { return platform.root + kPathSep + "config_ini.txt"; }
    UsbConfig Load(const std::string& text)
    {
        Fake::WriteFile(Path(), text);
        return UsbConfig(Path());
    }

    Fake::Platform platform;
};

TEST_F(Config, IniRules)
{
    const std::string d = kDefaultDriverHost;
    const struct {
        const char* why;
        std::string text;
        std::string host;
    } rows[] = {
        {"plain", "[web]\ndriver_host=http://h:8080\n", "http://h:8080"},
        {"blanks around '='", "[web]\ndriver_host = http://spaced\n", d},
        {"a prefix of the key", "[web]\ndriver=http://prefix\n", d},
        {"nothing after '='", "[web]\ndriver_host=\n", ""},
        {"no trimming", "[web]\ndriver_host= http://a \n", " http://a "},
        {"a line starting with '='", "[web]\n=driver_host=x\ndriver_host=http://b\n", "http://b"},
        {"section case", "[Web]\ndriver_host=http://capital\n", d},
        {"indented section", "  [web]\ndriver_host=http://indented\n", d},
        {"entry on the header line", "[web]   driver_host=http://same-line\n", "http://same-line"},
        {"comment", "[web]\n;driver_host=http://commented\n", d},
        {"comment, then the entry", "[web]\n;driver_host=http://c\ndriver_host=http://live\n", "http://live"},
        {"CR LF", "[version]\r\nbuild_version=2.1\r\n[web]\r\ndriver_host=http://crlf\r\n", "http://crlf"},
        {"cut to 127", "[web]\ndriver_host=" + std::string(200, 'v') + "\n", std::string(127, 'v')},
        {"another section", "[version]\ndriver_host=http://x\n", d},
    };
    for (const auto& row : rows)
        EXPECT_EQ(Load(row.text).DriverHost(), row.host) << row.why;
    EXPECT_EQ(Fake::CountOf(platform.Log(), "no load ini file"), 0u);  // a loaded file announces no defaults

    // Repeated sections are all searched; the first match in file order wins.
    const UsbConfig c = Load("[version]\nbuild_version=1.0\n[web]\n[version]\nbuild_version=2.0\n"
                             "[web]\ndriver_host=http://second\n");
    EXPECT_EQ(c.BuildVersion() + "|" + c.DriverHost(), "1.0|http://second");
}

TEST_F(Config, UnusableFilesGiveDefaultsAndSaySo)
{
    const std::string entry = "[web]\ndriver_host=http://limit\n";
    const std::string largest = entry + ";" + std::string(4095 - entry.size() - 2, 'x') + "\n";
    EXPECT_EQ(Load(largest).DriverHost(), "http://limit");

    const struct {
        bool write;
        std::string text;
        std::string said;
    } rows[] = {
        {false, "", "cant open file " + Path() + "\n"},
        {true, "", "file size is zero.\n"},
        {true, largest + "x", "file size is 4096,\n"},
    };
    for (const auto& row : rows) {
        std::remove(Path().c_str());
        const UsbConfig c = row.write ? Load(row.text) : UsbConfig(Path());
        EXPECT_EQ(c.DriverHost() + "|" + c.BuildVersion(), std::string(kDefaultDriverHost) + "|") << row.said;
        EXPECT_EQ(Fake::CountOf(platform.Log(), row.said), 1u);
    }
    // Every key is read all the same: each of the seven says so, for each of the three files.
    EXPECT_EQ(Fake::CountOf(platform.Log(), "will be default value\n"), 21u);

    // Beside the host executable by default; a path that cannot name a file is refused.
    Fake::WriteFile(platform.root + kPathSep + "config_ini.txt", "[version]\nbuild_version=9.9\n");
    EXPECT_EQ(UsbConfig().BuildVersion(), "9.9");
    IniFile ini;
    LoadIniFile(nullptr, ini);
    EXPECT_EQ(ini.m_size, -1);
    LoadIniFile(std::string(300, 'p').c_str(), ini);
    EXPECT_EQ(ini.m_size, -1);
}

}  // namespace
