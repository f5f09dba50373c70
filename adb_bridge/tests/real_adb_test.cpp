// The client against Debian's adb server on a private port.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "adb_client.h"

namespace adb {
namespace {

const char kAdb[] = "/usr/bin/adb";

int FreePort() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 0;
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  close(s);
  return port;
}

class RealAdbServer : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(kAdb, X_OK) != 0) GTEST_SKIP() << kAdb << " not installed";
    port_ = FreePort();
    ASSERT_GT(port_, 0);
    std::string cmd = std::string(kAdb) + " -P " + std::to_string(port_) +
                      " start-server >/dev/null 2>&1";
    started_ = true;
    ASSERT_EQ(std::system(cmd.c_str()), 0);
  }
  void TearDown() override {
    // Whatever the test did, never leave a server behind.
    if (started_)
      std::system((std::string(kAdb) + " -P " + std::to_string(port_) +
                   " kill-server >/dev/null 2>&1").c_str());
  }
  ClientOptions Options() const {
    ClientOptions o;
    o.port = port_;
    return o;
  }
  int port_ = 0;
  bool started_ = false;
};

TEST_F(RealAdbServer, AnswersVersionAndListsNoDevicesThenDiesOnKill) {
  Client client(Options());
  int version = 0;
  ASSERT_EQ(client.Version(&version), kOk) << client.last_error();
  EXPECT_GE(version, 31);  // every server of the last decade
  std::string listing = "x";
  ASSERT_EQ(client.Devices(&listing), kOk) << client.last_error();
  EXPECT_EQ(listing, "");
  std::string out;
  EXPECT_EQ(client.Shell("", "echo hi", &out, 100), kErrServerFail);

  ASSERT_EQ(client.Kill(), kOk) << client.last_error();
  EXPECT_EQ(client.Version(&version), kErrConnect);
}

}  // namespace
}  // namespace adb
