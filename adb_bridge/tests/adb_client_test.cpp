// The client and the C-level functions behind the exports against the scriptable fake ADB server
// (tests/e2e/fake_adb_server.py): the host protocol's smart sockets, the sync service, refusals
// and misbehaving servers, as a caller sees them.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "adb_api.h"
#include "adb_client.h"
#include "adb_tracker.h"

namespace adb {
namespace {

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void WriteFile(const std::string& path, const std::string& data)
{
    std::ofstream(path, std::ios::binary) << data;
}

// The fake on a free port for the life of a test; its device list is a file it re-reads.
class FakeServer {
public:
    explicit FakeServer(const std::vector<std::string>& options = {})
    {
        char dir[] = "/tmp/adb-fake-XXXXXX";
        dir_ = mkdtemp(dir);
        WriteFile(dir_ + "/devices.txt", "");
        std::string command = "echo $$; exec python3 " FAKE_ADB_SERVER_SCRIPT " 0 --root " + root() + " --log " + dir_ +
                              "/requests.log --devices-file " + dir_ + "/devices.txt";
        for (const auto& o : options)
            command += " '" + o + "'";
        out_ = popen(command.c_str(), "r");  // its pid, then "READY <port>" once it listens
        if (out_ && std::fscanf(out_, "%d READY %d", &pid_, &options_.port) < 1)
            pid_ = -1;
        options_.io_ms = options_.command_ms = 3000;
    }
    ~FakeServer()
    {
        if (pid_ > 0)
            kill(pid_, SIGKILL);
        if (out_)
            pclose(out_);
        std::system(("rm -rf '" + dir_ + "'").c_str());
    }
    std::string root() const { return dir_ + "/device"; }
    std::string log() const { return ReadFile(dir_ + "/requests.log"); }
    void SetDevices(const std::string& text) { WriteFile(dir_ + "/devices.txt", text); }
    bool Logged(const std::string& line) const { return ("\n" + log()).find("\n" + line + "\n") != std::string::npos; }
    bool WaitForExit()  // bounded
    {
        for (int i = 0; pid_ > 0 && i < 100; ++i, usleep(20000))
            if (waitpid(pid_, nullptr, WNOHANG) == pid_)
                pid_ = -1;
        return pid_ <= 0;
    }
    ClientOptions Options() const { return options_; }

private:
    std::string dir_;
    std::FILE* out_ = nullptr;
    int pid_ = -1;
    ClientOptions options_;
};

TEST(HostServices, VersionLiveListingFailTextAndBrokenOrMissingServers)
{
    FakeServer fake({"--version", "40"});
    Client client(fake.Options());
    int version = 0;
    ASSERT_EQ(client.Version(&version), OK);
    EXPECT_EQ(version, 40);
    std::string listing = "stale";
    ASSERT_EQ(client.Devices(&listing), OK);
    EXPECT_EQ(listing, "");
    fake.SetDevices("SER1:device,SER2:unauthorized");
    ASSERT_EQ(client.Devices(&listing), OK);
    EXPECT_EQ(listing, "SER1\tdevice\nSER2\tunauthorized\n");

    FakeServer failing({"--fail-devices", "listing broke"}), closing({"--close-early"});
    Client broken(failing.Options());
    EXPECT_EQ(broken.Devices(&listing), ERR_SERVER_FAIL);
    EXPECT_EQ(broken.last_error(), "listing broke");
    EXPECT_EQ(Client(closing.Options()).Devices(&listing), ERR_IO);
    EXPECT_EQ(Client(closing.Options()).Version(&version), ERR_IO);

    ASSERT_EQ(client.Kill(), OK);
    EXPECT_TRUE(fake.WaitForExit());
    EXPECT_EQ(client.Version(&version), ERR_CONNECT);
    EXPECT_EQ(ProbeServer(fake.Options()), ServerState::kAbsent);

    // A port holder that never answers is left within the whole request's bound.
    FakeServer silent({"--silent"});
    ClientOptions o = silent.Options();
    o.io_ms = 60000;  // each wait alone would hold the caller for a minute
    o.total_ms = 300;
    EXPECT_EQ(Client(o).Devices(&listing), ERR_IO);
    EXPECT_EQ(ProbeServer(o), ServerState::kHeld);
    EXPECT_EQ(ProbeServer(failing.Options()), ServerState::kAnswers);
}

TEST(DeviceServices, ShellAndForwardGoToTheNamedDevice)
{
    FakeServer fake;
    fake.SetDevices("SER1:device\nSER2:device\n");
    Client client(fake.Options());
    std::string out;
    ASSERT_EQ(client.Shell("SER2", "echo hello world", &out, 100), OK);
    EXPECT_EQ(out, "hello world\n");
    EXPECT_TRUE(fake.Logged("host:transport:SER2") && fake.Logged("shell:echo hello world"));
    ASSERT_EQ(client.Shell("SER1", "echo 0123456789", &out, 4), OK);
    EXPECT_EQ(out, "0123");
    EXPECT_EQ(client.Shell("", "echo any", &out, 100), ERR_SERVER_FAIL);  // two devices
    EXPECT_EQ(client.last_error(), "more than one device/emulator");
    EXPECT_EQ(client.Shell("NOPE", "echo x", &out, 100), ERR_SERVER_FAIL);
    ASSERT_EQ(client.Forward("SER1", "tcp:6100", "tcp:7100"), OK);
    EXPECT_TRUE(fake.Logged("host-serial:SER1:forward:tcp:6100;tcp:7100"));
    EXPECT_EQ(client.Forward("SER9", "tcp:6100", "tcp:7100"), ERR_SERVER_FAIL);
}

TEST(Sync, PushPullInstallAndUninstallWithTheirFailures)
{
    FakeServer fake({"--installed", "com.example.app"});
    fake.SetDevices("SER1:device");
    Client client(fake.Options());
    const std::string local = fake.root() + "-local.bin";
    std::string data;
    for (int i = 0; i < 200000; ++i)
        data.push_back(static_cast<char>(i * 7 % 256));  // several chunks
    WriteFile(local, data);
    ASSERT_EQ(client.Push("SER1", local, "/sdcard/blob.bin"), OK);
    EXPECT_EQ(ReadFile(fake.root() + "/sdcard/blob.bin"), data);
    ASSERT_EQ(client.Pull("SER1", "/sdcard/blob.bin", local + ".back"), OK);
    EXPECT_EQ(ReadFile(local + ".back"), data);
    EXPECT_TRUE(fake.Logged("SEND /sdcard/blob.bin,420") && fake.Logged("RECV /sdcard/blob.bin"));

    EXPECT_EQ(client.Pull("SER1", "/sdcard/missing", local + ".none"), ERR_SERVER_FAIL);
    EXPECT_EQ(client.last_error(), "No such file or directory");
    EXPECT_EQ(ReadFile(local + ".none"), "");
    EXPECT_EQ(client.Push("SER1", local + ".nonexistent", "/sdcard/x"), ERR_LOCAL_FILE);
    EXPECT_EQ(client.Push("SER1", local, "/readonly/x"), ERR_SERVER_FAIL);
    EXPECT_EQ(client.last_error(), "Read-only file system");

    std::string out;
    ASSERT_EQ(client.Install("SER1", local, &out, 1000), OK);
    EXPECT_EQ(out, "Success\n");
    const std::string remote = "/data/local/tmp/" + local.substr(local.rfind('/') + 1);
    EXPECT_TRUE(fake.Logged("SEND " + remote + ",420") && fake.Logged("shell:pm install -r '" + remote + "'") &&
                fake.Logged("shell:rm -f '" + remote + "'"));
    EXPECT_EQ(ReadFile(fake.root() + remote), "");  // removed from the device
    ASSERT_EQ(client.Uninstall("SER1", "com.example.app", &out, 1000), OK);
    EXPECT_EQ(client.Uninstall("SER1", "com.other", &out, 1000), ERR_COMMAND_FAILED);
    EXPECT_EQ(out, "Failure [DELETE_FAILED_INTERNAL_ERROR]\n");
}

// The callers' buffers: never written past their size, cut on a line for listings, always
// terminated, empty on errors; refused arguments never reach the server.
TEST(CallerBuffers, ListingsAndOutputsFitTheBufferAndRefusalsStayLocal)
{
    FakeServer big({"--big-listing", "200"}), failing({"--fail-devices"}), fake;  // about 4.6 KB listed
    fake.SetDevices("SER1:device");
    std::vector<char> buf(4096 + 64, '\x5A');
    const int n = ApiGetDevices(big.Options(), buf.data(), 4096);
    ASSERT_TRUE(n > 0 && n < 4096) << n;
    EXPECT_EQ(std::string(buf.data()), std::string(buf.data(), static_cast<std::size_t>(n)));
    EXPECT_EQ(buf[static_cast<std::size_t>(n) - 1], '\n');
    EXPECT_EQ(std::count(buf.begin() + 4096, buf.end(), '\x5A'), 64);
    EXPECT_EQ(ApiGetDevices(failing.Options(), buf.data(), 64), IUSB_ERR_SERVER_FAIL);
    EXPECT_STREQ(buf.data(), "");
    for (int size : {0, -5})
        EXPECT_EQ(ApiGetDevices(fake.Options(), buf.data(), size), IUSB_ERR_ARGUMENT);
    EXPECT_EQ(ApiGetDevices(fake.Options(), nullptr, 64), IUSB_ERR_ARGUMENT);

    std::fill(buf.begin(), buf.end(), '\x5A');
    EXPECT_EQ(ApiShell(fake.Options(), "SER1", "echo abcdefghijkl", buf.data(), 8), 7);
    EXPECT_STREQ(buf.data(), "abcdefg");
    EXPECT_EQ(buf[8], '\x5A');
    EXPECT_EQ(ApiShell(fake.Options(), nullptr, "echo any", nullptr, 0), 0);  // the only device
    char out[128];
    EXPECT_EQ(ApiInstall(fake.Options(), "SER1", "/nonexistent/app.apk", out, sizeof out), IUSB_ERR_LOCAL_FILE);
    EXPECT_STREQ(out, "cannot open /nonexistent/app.apk");

    FakeServer quiet;
    Client refusing(quiet.Options());
    std::string text;
    EXPECT_EQ(refusing.Shell("SER1", "", &text, 100), ERR_ARGUMENT);
    EXPECT_EQ(refusing.Shell("SER 1", "echo x", &text, 100), ERR_ARGUMENT);
    EXPECT_EQ(refusing.Forward("SER1", "tcp:1;tcp:2", "tcp:3"), ERR_ARGUMENT);
    EXPECT_EQ(refusing.Uninstall("SER1", "com.x; reboot", &text, 1000), ERR_ARGUMENT);
    EXPECT_EQ(refusing.Push("SER1", "/etc/hostname", std::string(2000, 'p')), ERR_ARGUMENT);
    const std::string long_text(IUSB_MAX_TEXT + 1, 's'), huge(IUSB_MAX_COMMAND + 1, 'e');
    ClientOptions o = quiet.Options();
    EXPECT_EQ(ApiShell(o, "SER1", huge.c_str(), out, 8), IUSB_ERR_ARGUMENT);
    EXPECT_EQ(ApiShell(o, "SER1", "echo x", nullptr, 8), IUSB_ERR_ARGUMENT);
    EXPECT_EQ(ApiForward(o, "SER1", nullptr, "tcp:1"), IUSB_ERR_ARGUMENT);
    EXPECT_EQ(ApiForward(o, long_text.c_str(), "tcp:1", "tcp:2"), IUSB_ERR_ARGUMENT);
    EXPECT_EQ(ApiPull(o, "SER1", nullptr, "/tmp/x"), IUSB_ERR_ARGUMENT);
    EXPECT_EQ(ApiPull(o, "SER1", "/sdcard/x", long_text.c_str()), IUSB_ERR_ARGUMENT);
    EXPECT_EQ(ApiInstall(o, "SER1", "", out, sizeof out), IUSB_ERR_ARGUMENT);
    EXPECT_EQ(quiet.log(), "");
}

bool StartDetached(DeviceTracker* tracker)
{
    std::thread([tracker] { tracker->Run(); }).detach();
    return true;
}

// The pushed device list: a list at once and at each change, a server that restarts, refuses or
// is absent, and a stop that wakes its waiters.
TEST(DeviceTracking, EveryNewListMovesTheGenerationARestartIsFollowedAndStopWakesWaiters)
{
    FakeServer fake({"--restart-on-kill"});
    fake.SetDevices("SER1:unauthorized");
    DeviceTracker tracker(fake.Options(), &StartDetached);
    unsigned first = 0, next = 0;
    ASSERT_EQ(tracker.Wait(0, 5000, &first), 1);
    EXPECT_EQ(tracker.Wait(first, 100, &next), 0);
    EXPECT_EQ(next, first);

    fake.SetDevices("SER1:device");  // not written at once: the list may pass through ""
    ASSERT_EQ(tracker.Wait(first, 5000, &next), 1);
    std::string listing;
    for (int i = 0; i < 20 && listing != "SER1\tdevice\n"; ++i)
        if (tracker.Listing(&listing, &next) == OK && listing != "SER1\tdevice\n")
            tracker.Wait(next, 200, &next);
    EXPECT_EQ(listing, "SER1\tdevice\n");

    ASSERT_EQ(Client(fake.Options()).Kill(), OK);  // the server drops its clients
    unsigned seen = next;
    for (int i = 0; i < 100 && seen < next + 2; ++i)  // the loss, then the list of the new connection
        if (tracker.Wait(seen, 200, &seen) < 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(tracker.Listing(&listing, &seen), OK);
    EXPECT_EQ(listing, "SER1\tdevice\n");

    int woken = 1;  // a stop wakes the waiters; the next wait starts it again
    std::thread waiter([&] { woken = tracker.Wait(seen, 60000, nullptr); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    tracker.Stop();
    waiter.join();
    EXPECT_EQ(woken, ERR_IO);
    EXPECT_EQ(tracker.Wait(0, 5000, nullptr), 1);
}

// A stop does not wait for a thread that is still connecting (a port nobody answers can take
// seconds): it returns, and that thread then ends without tracking.
TEST(DeviceTracking, AStopReturnsWhileTheThreadStillConnectsAndThatThreadNeverTracks)
{
    FakeServer fake(std::vector<std::string>{});
    fake.SetDevices("SER1:device");
    static std::shared_future<void> released;
    std::promise<void> release;
    released = release.get_future().share();
    auto slow = [](DeviceTracker* tracker) {
        std::thread([tracker] {
            released.wait();  // as if in a connect that takes its whole bound
            tracker->Run();
        }).detach();
        return true;
    };
    std::atomic<bool> stopped{false};
    bool waitedOut = false;
    {
        DeviceTracker tracker(fake.Options(), slow);
        EXPECT_EQ(tracker.Wait(0, 50, nullptr), 0);  // still starting
        // A stop that waited for the thread would only return once this gives up.
        std::thread watchdog([&] {
            for (int i = 0; i < 500 && !stopped; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            waitedOut = !stopped;
            release.set_value();
        });
        tracker.Stop();
        stopped = true;
        watchdog.join();
        // The destructor waits for the thread, which has seen the stop and ends untracked.
    }
    EXPECT_FALSE(waitedOut);
    EXPECT_EQ(fake.log().find("track-devices"), std::string::npos) << fake.log();
}

TEST(DeviceTracking, UnavailableWithoutAService)
{
    ClientOptions gone;
    {
        FakeServer refusing({"--no-track"});
        gone = refusing.Options();
        DeviceTracker tracker(gone, &StartDetached);
        EXPECT_EQ(tracker.Wait(0, 5000, nullptr), ERR_SERVER_FAIL);
    }
    DeviceTracker absent(gone, &StartDetached);
    EXPECT_EQ(absent.Wait(0, 5000, nullptr), ERR_CONNECT);
}

}  // namespace
}  // namespace adb
