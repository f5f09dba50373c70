// The client against the scriptable fake server: answers, refusals and
// misbehaving servers, as a caller of the client would see them.
#include "adb_client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "adb_api.h"

#include "fake_server.h"

namespace adb {
namespace {

using adb_test::FakeServer;
using adb_test::ReadFile;
using adb_test::WriteFile;

ClientOptions OptionsFor(const FakeServer& fake) {
  ClientOptions o;
  o.port = fake.port();
  o.io_ms = 3000;
  o.command_ms = 3000;
  return o;
}

bool Logged(const FakeServer& fake, const std::string& line) {
  auto lines = fake.LogLines();
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST(HostServices, VersionDevicesAndLiveListing) {
  FakeServer fake({"--version", "40"});
  ASSERT_TRUE(fake.ready());
  Client client(OptionsFor(fake));
  int version = 0;
  ASSERT_EQ(client.Version(&version), kOk);
  EXPECT_EQ(version, 40);

  std::string listing = "stale";
  ASSERT_EQ(client.Devices(&listing), kOk);
  EXPECT_EQ(listing, "");
  fake.SetDevices("SER1:device,SER2:unauthorized");
  ASSERT_EQ(client.Devices(&listing), kOk);
  EXPECT_EQ(listing, "SER1\tdevice\nSER2\tunauthorized\n");
}

TEST(HostServices, FailAnswerCarriesTheServerMessage) {
  FakeServer fake({"--fail-devices", "listing broke"});
  ASSERT_TRUE(fake.ready());
  Client client(OptionsFor(fake));
  std::string listing;
  EXPECT_EQ(client.Devices(&listing), kErrServerFail);
  EXPECT_EQ(client.last_error(), "listing broke");
}

TEST(HostServices, ServerClosingAfterStatusIsAnIoError) {
  FakeServer fake({"--close-early"});
  ASSERT_TRUE(fake.ready());
  Client client(OptionsFor(fake));
  std::string listing;
  int version = 0;
  EXPECT_EQ(client.Devices(&listing), kErrIo);
  EXPECT_EQ(client.Version(&version), kErrIo);
}

TEST(HostServices, NoServerIsAConnectError) {
  int port;
  {
    FakeServer fake;
    ASSERT_TRUE(fake.ready());
    port = fake.port();
  }
  ClientOptions o;
  o.port = port;
  Client client(o);
  int version = 0;
  EXPECT_EQ(client.Version(&version), kErrConnect);
}

TEST(HostServices, APortHolderThatNeverAnswersIsLeftWithinTheBound) {
  FakeServer silent({"--silent"});
  FakeServer answering;
  ASSERT_TRUE(silent.ready() && answering.ready());
  ClientOptions o = OptionsFor(silent);
  o.io_ms = 60000;  // each wait alone would hold the caller for a minute
  o.total_ms = 300;
  const auto began = std::chrono::steady_clock::now();
  std::string listing;
  EXPECT_EQ(Client(o).Devices(&listing), kErrIo);
  EXPECT_EQ(ProbeServer(o), ServerState::kHeld);
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(20));
  EXPECT_EQ(ProbeServer(OptionsFor(answering)), ServerState::kAnswers);
  int closed;
  {
    FakeServer gone;
    ASSERT_TRUE(gone.ready());
    closed = gone.port();
  }
  o.port = closed;
  EXPECT_EQ(ProbeServer(o), ServerState::kAbsent);
}

TEST(HostServices, KillStopsTheServer) {
  FakeServer fake;
  ASSERT_TRUE(fake.ready());
  Client client(OptionsFor(fake));
  ASSERT_EQ(client.Kill(), kOk);
  EXPECT_TRUE(fake.WaitForExit());
  int version = 0;
  EXPECT_EQ(client.Version(&version), kErrConnect);
}

TEST(DeviceServices, ShellRunsOnTheNamedDeviceAndTruncates) {
  FakeServer fake;
  ASSERT_TRUE(fake.ready());
  fake.SetDevices("SER1:device\nSER2:device\n");
  Client client(OptionsFor(fake));
  std::string out;
  ASSERT_EQ(client.Shell("SER2", "echo hello world", &out, 100), kOk);
  EXPECT_EQ(out, "hello world\n");
  EXPECT_TRUE(Logged(fake, "host:transport:SER2"));
  EXPECT_TRUE(Logged(fake, "shell:echo hello world"));

  ASSERT_EQ(client.Shell("SER1", "echo 0123456789", &out, 4), kOk);
  EXPECT_EQ(out, "0123");

  EXPECT_EQ(client.Shell("", "echo any", &out, 100), kErrServerFail);  // two devices
  EXPECT_EQ(client.last_error(), "more than one device/emulator");
  EXPECT_EQ(client.Shell("NOPE", "echo x", &out, 100), kErrServerFail);
  EXPECT_EQ(client.Shell("SER1", "", &out, 100), kErrArgument);
  EXPECT_EQ(client.Shell("SER 1", "echo x", &out, 100), kErrArgument);
}

TEST(DeviceServices, ForwardIssuesTheSerialBoundRequest) {
  FakeServer fake;
  ASSERT_TRUE(fake.ready());
  fake.SetDevices("SER1:device");
  Client client(OptionsFor(fake));
  ASSERT_EQ(client.Forward("SER1", "tcp:6100", "tcp:7100"), kOk);
  EXPECT_TRUE(Logged(fake, "host-serial:SER1:forward:tcp:6100;tcp:7100"));
  EXPECT_EQ(client.Forward("SER9", "tcp:6100", "tcp:7100"), kErrServerFail);
  EXPECT_EQ(client.Forward("SER1", "tcp:1;tcp:2", "tcp:3"), kErrArgument);
  EXPECT_EQ(client.Forward("SER1", "", "tcp:3"), kErrArgument);
}

class FileTransfer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fake_.ready());
    fake_.SetDevices("SER1:device");
    local_ = fake_.root() + "-local.bin";
  }
  void TearDown() override {
    std::remove(local_.c_str());
    std::remove((local_ + ".back").c_str());
  }
  FakeServer fake_;
  std::string local_;
};

TEST_F(FileTransfer, PushThenPullRoundTripsBinaryDataAcrossChunks) {
  std::string data;
  for (int i = 0; i < 200000; ++i) data.push_back(static_cast<char>(i * 7 % 256));
  WriteFile(local_, data);
  Client client(OptionsFor(fake_));
  ASSERT_EQ(client.Push("SER1", local_, "/sdcard/blob.bin"), kOk);
  EXPECT_EQ(ReadFile(fake_.root() + "/sdcard/blob.bin"), data);
  ASSERT_EQ(client.Pull("SER1", "/sdcard/blob.bin", local_ + ".back"), kOk);
  EXPECT_EQ(ReadFile(local_ + ".back"), data);
  EXPECT_TRUE(Logged(fake_, "SEND /sdcard/blob.bin,420"));
  EXPECT_TRUE(Logged(fake_, "RECV /sdcard/blob.bin"));
}

TEST_F(FileTransfer, FailuresAreReportedAndLeaveNoLocalFile) {
  Client client(OptionsFor(fake_));
  EXPECT_EQ(client.Pull("SER1", "/sdcard/missing", local_), kErrServerFail);
  EXPECT_EQ(client.last_error(), "No such file or directory");
  EXPECT_EQ(ReadFile(local_), "");
  EXPECT_EQ(client.Push("SER1", local_ + ".nonexistent", "/sdcard/x"), kErrLocalFile);
  WriteFile(local_, "abc");
  EXPECT_EQ(client.Push("SER1", local_, "/readonly/x"), kErrServerFail);
  EXPECT_EQ(client.last_error(), "Read-only file system");
  EXPECT_EQ(client.Push("SER1", local_, std::string(2000, 'p')), kErrArgument);
}

TEST_F(FileTransfer, InstallPushesRunsPmAndCleansUp) {
  WriteFile(local_, "PK fake apk");
  Client client(OptionsFor(fake_));
  std::string out;
  ASSERT_EQ(client.Install("SER1", local_, &out, 1000), kOk);
  EXPECT_EQ(out, "Success\n");
  std::string remote = "/data/local/tmp/" + local_.substr(local_.rfind('/') + 1);
  EXPECT_TRUE(Logged(fake_, "SEND " + remote + ",420"));
  EXPECT_TRUE(Logged(fake_, "shell:pm install -r '" + remote + "'"));
  EXPECT_TRUE(Logged(fake_, "shell:rm -f '" + remote + "'"));
  EXPECT_EQ(ReadFile(fake_.root() + remote), "");  // removed from the device

  EXPECT_EQ(client.Install("SER1", local_ + ".missing", &out, 1000), kErrLocalFile);
}

TEST(Packages, UninstallReportsPmOutcome) {
  FakeServer fake({"--installed", "com.example.app"});
  ASSERT_TRUE(fake.ready());
  fake.SetDevices("SER1:device");
  Client client(OptionsFor(fake));
  std::string out;
  ASSERT_EQ(client.Uninstall("SER1", "com.example.app", &out, 1000), kOk);
  EXPECT_TRUE(Logged(fake, "shell:pm uninstall com.example.app"));
  EXPECT_EQ(client.Uninstall("SER1", "com.other", &out, 1000), kErrCommandFailed);
  EXPECT_EQ(out, "Failure [DELETE_FAILED_INTERNAL_ERROR]\n");
  EXPECT_EQ(client.Uninstall("SER1", "com.x; reboot", &out, 1000), kErrArgument);
}

}  // namespace
}  // namespace adb
