// The log and track files as someone reading them in the data directory sees them.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "fakes/fake_platform.h"
#include "service/USB_Service.h"
#include "support/Usb_Config.h"
#include "support/sys_utils.h"
#include "support/usb_log.h"

namespace {

using namespace USB;

#ifdef _WIN32
const std::string kFileNewline = "\r\n";  // text mode
#else
const std::string kFileNewline = "\n";
#endif

std::string Plain(std::string text)
{
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

std::vector<std::string> Relayed;
void RecordRelay(const char* text)
{
    Relayed.push_back(text ? text : "");
}

// Restores the relay table whatever a test leaves in it.
struct RelayScope {
    RelayScope()
    {
        Relayed.clear();
        SetLogRelay(LogRelay{});
    }
    ~RelayScope() { SetLogRelay(LogRelay{}); }
};

TEST(Log, DataDirectoryIsCreatedOnFirstLine)
{
    Fake::Platform platform;
    ASSERT_FALSE(FileExists(platform.system.appData + kPathSep + "Ostrel"));
    USB_LOG("first\n");
    EXPECT_TRUE(FileExists(platform.system.appData + kPathSep + "Ostrel"));
    EXPECT_EQ(GetDataDirectory(), platform.DataDirectory());
    EXPECT_EQ(Plain(platform.ReadDataFile("usb_log.txt")).find("]: first\n") != std::string::npos, true);
}

TEST(Log, ExactLineFormat)
{
    Fake::Platform platform;
    USB_LOG("device %s has %d interfaces\n", "SN42", 2); const int line = __LINE__;
    const std::regex format("\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2} \\[log_test\\.cpp," +
                            std::to_string(line) + "\\]: device SN42 has 2 interfaces" + kFileNewline);
    const std::string text = platform.ReadDataFile("usb_log.txt");
    EXPECT_TRUE(std::regex_match(text, format)) << text;
}

TEST(Log, MessageWithoutNewlineRunsOn)
{
    Fake::Platform platform;
    USB_LOG("partial ");
    USB_LOG("rest\n");
    const std::string text = Plain(platform.ReadDataFile("usb_log.txt"));
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    EXPECT_TRUE(std::regex_match(text, std::regex("\\S+ \\S+ \\[log_test\\.cpp,\\d+\\]: partial "
                                                  "\\S+ \\S+ \\[log_test\\.cpp,\\d+\\]: rest\n")))
        << text;
}

TEST(Log, RotatesOnlyPastTheLimit)
{
    Fake::Platform platform;
    GetDataDirectory();
    const std::string path = platform.DataDirectory() + "usb_log.txt";
    Fake::WriteFile(path, std::string(1048576, 'x'));

    USB_LOG("kept\n");  // exactly at the limit: kept, the line appended
    const std::string grown = platform.ReadDataFile("usb_log.txt");
    EXPECT_GT(GetFileSize64(path), 1048576);
    EXPECT_EQ(grown.compare(0, 1048576, std::string(1048576, 'x')), 0);
    EXPECT_EQ(grown.substr(grown.size() - 7 - kFileNewline.size()), "]: kept" + kFileNewline);

    USB_LOG("fresh\n");  // past it: a new file that starts with this line
    const std::string text = Plain(platform.ReadDataFile("usb_log.txt"));
    EXPECT_TRUE(std::regex_match(text, std::regex("\\S+ \\S+ \\[log_test\\.cpp,\\d+\\]: fresh\n"))) << text;
}

TEST(Track, RecordIsOneBareLine)
{
    Fake::Platform platform;
    RelayScope relay;
    const std::string first = "date=2014-03-05-09:07:02&platform=x64&os=win7&ver=&vid=18D1&pid=4EE2&sn=A1"
                              "&desc=Phone&process=checkadbdebug-->dmfail-->";
    WriteTrackLine(first, false);
    WriteTrackLine("retry-->checkdriver-->DRIVER_CHECK_URL_FAIL", false);
    EXPECT_EQ(platform.ReadDataFile("usb_track.txt"),
              first + kFileNewline + "retry-->checkdriver-->DRIVER_CHECK_URL_FAIL" + kFileNewline);
    EXPECT_TRUE(Relayed.empty());
}

TEST(Track, RelayGetsTheRecordEvenWhenTheFileFails)
{
    Fake::Platform platform;
    RelayScope relay;
    LogRelay entries;
    entries.sendMsg = &RecordRelay;
    SetLogRelay(entries);
    // A directory (not empty, so it cannot be removed) where the track file should be.
    const std::string blocked = GetDataDirectory() + "usb_track.txt";
    MakeDirectory(blocked);
    Fake::WriteFile(blocked + kPathSep + "inside", "x");

    WriteTrackLine("checkadbdebug-->dmfail-->", true);
    ASSERT_EQ(Relayed.size(), 1u);
    EXPECT_EQ(Relayed[0], "checkadbdebug-->dmfail-->");
    WriteTrackLine("ADB_CHECK_DEVICE_OFFLINE", false);  // file only: never relayed
    EXPECT_EQ(Relayed.size(), 1u);
}

// A record being handed over when the relay ends: its dllExit waits for that hand-over to return,
// and nothing is handed over after.
std::atomic<bool> g_holdSend{false};
std::atomic<int> g_sends{0}, g_exits{0}, g_sendsAfterExit{0};
void SlowSend(const char*)
{
    ++g_sends;
    g_sendsAfterExit += g_exits.load();
    while (g_holdSend)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}
void CountExit() { ++g_exits; }

TEST(Track, RelayEndsOnlyAfterTheHandOverInProgress)
{
    Fake::Platform platform;
    RelayScope scope;
    LogRelay entries;
    entries.sendMsg = &SlowSend;
    entries.dllExit = &CountExit;
    SetLogRelay(entries);
    g_holdSend = true;
    std::thread writer([] { WriteTrackLine("dmfail-->", true); });
    while (g_sends == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ExitLogRelay(10);  // the wait runs out: the exit is left to the hand-over
    EXPECT_EQ(g_exits, 0);
    WriteTrackLine("after the end-->", true);
    g_holdSend = false;
    writer.join();
    EXPECT_EQ(g_sends, 1);
    EXPECT_EQ(g_exits, 1);
    EXPECT_EQ(g_sendsAfterExit, 0);
}

TEST(Track, HeaderOfANewAttempt)
{
    Fake::Platform platform;
    platform.system.wow64 = 1;
    const UsbConfig config;
    TrackRecord track(config);
    track.Start("18D1", "4EE2", "0123456789ABCDEF", "Nexus 4");
    const std::string header = track.Text();
    EXPECT_TRUE(std::regex_match(header, std::regex("date=\\d{4}-\\d{2}-\\d{2}-\\d{2}:\\d{2}:\\d{2}"
                                                    "&platform=x64&os=win7&ver=" +
                                                    config.BuildVersion() +
                                                    "&vid=18D1&pid=4EE2&sn=0123456789ABCDEF"
                                                    "&desc=Nexus 4&process=")))
        << header;
}

}  // namespace
