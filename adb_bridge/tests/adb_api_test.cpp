// The C-level behaviour behind the exports: caller buffers and refusals.
#include "adb_api.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "adb_bridge.h"
#include "fake_server.h"

namespace adb {
namespace {

using adb_test::FakeServer;

ClientOptions OptionsFor(const FakeServer& fake) {
  ClientOptions o;
  o.port = fake.port();
  o.io_ms = 3000;
  o.command_ms = 3000;
  return o;
}

// A caller's buffer with guard bytes after it, to catch writes past `size`.
struct GuardedBuffer {
  explicit GuardedBuffer(int size) : size(size), bytes(static_cast<std::size_t>(size) + 64, '\x5A') {}
  char* data() { return bytes.data(); }
  bool guard_intact() const {
    for (std::size_t i = static_cast<std::size_t>(size); i < bytes.size(); ++i)
      if (bytes[i] != '\x5A') return false;
    return true;
  }
  int size;
  std::vector<char> bytes;
};

TEST(GetDevices, BigListingIsCutOnALineAndTerminated) {
  FakeServer fake({"--big-listing", "200"});  // about 4.6 KB
  ASSERT_TRUE(fake.ready());
  GuardedBuffer buf(4096);
  int n = ApiGetDevices(OptionsFor(fake), buf.data(), buf.size);
  ASSERT_GT(n, 0);
  ASSERT_LT(n, 4096);
  EXPECT_EQ(buf.bytes[static_cast<std::size_t>(n)], '\0');
  EXPECT_EQ(std::strlen(buf.data()), static_cast<std::size_t>(n));
  EXPECT_EQ(buf.bytes[static_cast<std::size_t>(n) - 1], '\n');
  EXPECT_EQ(std::string(buf.data(), 22), "bigserial000000\tdevice");
  EXPECT_TRUE(buf.guard_intact());
}

TEST(GetDevices, ErrorsLeaveAnEmptyString) {
  FakeServer fake({"--fail-devices"});
  ASSERT_TRUE(fake.ready());
  GuardedBuffer buf(64);
  std::memset(buf.data(), 'x', 64);
  EXPECT_EQ(ApiGetDevices(OptionsFor(fake), buf.data(), 64), IUSB_ERR_SERVER_FAIL);
  EXPECT_STREQ(buf.data(), "");
  EXPECT_EQ(ApiGetDevices(OptionsFor(fake), nullptr, 64), IUSB_ERR_ARGUMENT);
  EXPECT_EQ(ApiGetDevices(OptionsFor(fake), buf.data(), 0), IUSB_ERR_ARGUMENT);
  EXPECT_EQ(ApiGetDevices(OptionsFor(fake), buf.data(), -5), IUSB_ERR_ARGUMENT);
  EXPECT_TRUE(buf.guard_intact());
}

TEST(Shell, OutputIsTruncatedToTheBufferAndOptional) {
  FakeServer fake;
  ASSERT_TRUE(fake.ready());
  fake.SetDevices("SER1:device");
  GuardedBuffer buf(8);
  EXPECT_EQ(ApiShell(OptionsFor(fake), "SER1", "echo abcdefghijkl", buf.data(), 8), 7);
  EXPECT_STREQ(buf.data(), "abcdefg");
  EXPECT_TRUE(buf.guard_intact());
  EXPECT_EQ(ApiShell(OptionsFor(fake), nullptr, "echo any", nullptr, 0), 0);  // the only device
  EXPECT_EQ(ApiShell(OptionsFor(fake), "SER1", nullptr, buf.data(), 8), IUSB_ERR_ARGUMENT);
  EXPECT_EQ(ApiShell(OptionsFor(fake), "SER1", "echo x", nullptr, 8), IUSB_ERR_ARGUMENT);
  std::string huge(IUSB_MAX_COMMAND + 1, 'e');
  EXPECT_EQ(ApiShell(OptionsFor(fake), "SER1", huge.c_str(), buf.data(), 8), IUSB_ERR_ARGUMENT);
}

TEST(Packages, OutCarriesPmOutputOrTheReason) {
  FakeServer fake({"--installed", "com.example.app"});
  ASSERT_TRUE(fake.ready());
  fake.SetDevices("SER1:device");
  char out[128];
  EXPECT_EQ(ApiUninstall(OptionsFor(fake), "SER1", "com.other", out, sizeof out),
            IUSB_ERR_COMMAND_FAILED);
  EXPECT_STREQ(out, "Failure [DELETE_FAILED_INTERNAL_ERROR]\n");
  EXPECT_EQ(ApiInstall(OptionsFor(fake), "SER1", "/nonexistent/app.apk", out, sizeof out),
            IUSB_ERR_LOCAL_FILE);
  EXPECT_STREQ(out, "cannot open /nonexistent/app.apk");
  EXPECT_EQ(ApiInstall(OptionsFor(fake), "SER1", "", out, sizeof out), IUSB_ERR_ARGUMENT);
  EXPECT_EQ(ApiUninstall(OptionsFor(fake), "SER1", nullptr, nullptr, 0), IUSB_ERR_ARGUMENT);
}

TEST(Refusals, NullAndOversizedArgumentsNeverReachTheServer) {
  FakeServer fake;
  ASSERT_TRUE(fake.ready());
  std::string long_text(IUSB_MAX_TEXT + 1, 's');
  ClientOptions o = OptionsFor(fake);
  EXPECT_EQ(ApiForward(o, "SER1", nullptr, "tcp:1"), IUSB_ERR_ARGUMENT);
  EXPECT_EQ(ApiForward(o, long_text.c_str(), "tcp:1", "tcp:2"), IUSB_ERR_ARGUMENT);
  EXPECT_EQ(ApiPull(o, "SER1", nullptr, "/tmp/x"), IUSB_ERR_ARGUMENT);
  EXPECT_EQ(ApiPull(o, "SER1", "/sdcard/x", long_text.c_str()), IUSB_ERR_ARGUMENT);
  EXPECT_TRUE(fake.LogLines().empty());
}

TEST(CopyOut, NeverWritesPastTheSize) {
  GuardedBuffer buf(5);
  EXPECT_EQ(CopyOut("abcdefgh", buf.data(), 5, false), 4);
  EXPECT_STREQ(buf.data(), "abcd");
  EXPECT_EQ(CopyOut("ab\ncdefgh\n", buf.data(), 5, true), 3);
  EXPECT_STREQ(buf.data(), "ab\n");
  EXPECT_TRUE(buf.guard_intact());
}

}  // namespace
}  // namespace adb
