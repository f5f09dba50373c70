// The log and track files as someone reading them in the data directory sees them, and the relay.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "fakes/fake_platform.h"
#include "support/sys_utils.h"
#include "support/usb_log.h"

namespace {

using namespace USB;

const std::string kPrefix = "\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2} \\[log_test\\.cpp,";

TEST(Log, LineFormatDataDirectoryAndRotationPastTheLimit)
{
    Fake::Platform platform;
    ASSERT_FALSE(FileExists(platform.system.appData + kPathSep + "Ostrel"));
    USB_LOG("device %s has %d interfaces\n", "SN42", 2);
    const int line = __LINE__ - 1;  // the line of the first USB_LOG
    USB_LOG("partial ");            // a message without its newline runs on
    USB_LOG("rest\n");
    EXPECT_EQ(GetDataDirectory(), platform.DataDirectory());
    const std::string text = platform.LogText();
    EXPECT_TRUE(
        std::regex_match(text, std::regex(kPrefix + std::to_string(line) + "\\]: device SN42 has 2 interfaces\n" +
                                          kPrefix + "\\d+\\]: partial " + kPrefix + "\\d+\\]: rest\n")))
        << text;

    const std::string path = platform.DataDirectory() + "usb_log.txt";
    Fake::WriteFile(path, std::string(kLogSizeLimit, 'x'));
    USB_LOG("kept\n");  // exactly at the limit: appended
    EXPECT_GT(GetFileSize64(path), kLogSizeLimit);
    USB_LOG("fresh\n");  // past it: a new file that starts with this line
    EXPECT_EQ(platform.Log(), "fresh\n");
    // A code-page text is no UTF-8 path: it names nothing and throws nothing.
    EXPECT_EQ(GetFileSize64(platform.root + kPathSep + "missing\xE9\xFF.txt"), -1);
    EXPECT_FALSE(FileExists(platform.root + kPathSep + "missing\xE9\xFF.txt"));
}

std::atomic<bool> g_holdSend{false};
std::atomic<int> g_sends{0}, g_exits{0}, g_sendsAfterExit{0};
void SlowSend(const char*)
{
    ++g_sends;
    g_sendsAfterExit += g_exits.load();
    while (g_holdSend)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}
void CountExit()
{
    ++g_exits;
}

TEST(Track, RelayEndsOnlyAfterTheHandOverInProgress)
{
    Fake::Platform platform;
    LogRelay relay;
    relay.sendMsg = &SlowSend;
    relay.dllExit = &CountExit;
    SetLogRelay(relay);
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

}  // namespace
