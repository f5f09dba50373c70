// Loads AdbBridge.dll the way the main library does (LoadLibraryA plus
// GetProcAddress by name) and drives it against the fake server that
// run_wine_tests.sh starts. Run as "adb.exe start-server" it stands in for
// adb instead, so IUSB_AdbServerStart has something to launch.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "adb_bridge.h"

namespace {

// What run_wine_tests.sh tells the fake server to report.
const int kFakeVersion = 39;
const char kFakeDevices[] = "WINE1\tdevice\nWINE2\toffline\n";

typedef int (*VoidFn)(void);
typedef int (*BufFn)(char*, int);
typedef int (*ShellFn)(const char*, const char*, char*, int);
typedef int (*Str3Fn)(const char*, const char*, const char*);

struct Bridge {
  HMODULE dll = nullptr;
  VoidFn Init, Exit, AdbServerStart, AdbServerExit, KillServer, Vesion;
  BufFn GetDevices;
  ShellFn Shell, Install, Uninstall;
  Str3Fn Forward, Pull;
};

template <typename T>
bool Resolve(HMODULE dll, const char* name, T* fn) {
  *fn = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
  return *fn != nullptr;
}

Bridge& Dll() {
  static Bridge b;
  return b;
}

class BridgeDll : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Bridge& b = Dll();
    if (b.dll) return;
    b.dll = LoadLibraryA("AdbBridge.dll");
  }
  void SetUp() override {
    ASSERT_NE(Dll().dll, nullptr) << "AdbBridge.dll did not load";
    ASSERT_TRUE(Resolve(Dll().dll, "IUSB_Init", &Dll().Init) &&
                Resolve(Dll().dll, "IUSB_Exit", &Dll().Exit) &&
                Resolve(Dll().dll, "IUSB_AdbServerStart", &Dll().AdbServerStart) &&
                Resolve(Dll().dll, "IUSB_AdbServerExit", &Dll().AdbServerExit) &&
                Resolve(Dll().dll, "IUSB_KillServer", &Dll().KillServer) &&
                Resolve(Dll().dll, "IUSB_Vesion", &Dll().Vesion) &&
                Resolve(Dll().dll, "IUSB_GetDevices", &Dll().GetDevices) &&
                Resolve(Dll().dll, "IUSB_Shell", &Dll().Shell) &&
                Resolve(Dll().dll, "IUSB_Install", &Dll().Install) &&
                Resolve(Dll().dll, "IUSB_Uninstall", &Dll().Uninstall) &&
                Resolve(Dll().dll, "IUSB_Forward", &Dll().Forward) &&
                Resolve(Dll().dll, "IUSB_Pull", &Dll().Pull))
        << "an export is missing";
  }
  Bridge& b = Dll();
};

TEST_F(BridgeDll, InitAndExitAreCounted) {
  EXPECT_EQ(b.Init(), IUSB_OK);
  EXPECT_EQ(b.Init(), IUSB_OK);
  EXPECT_EQ(b.Exit(), IUSB_OK);
  EXPECT_EQ(b.Exit(), IUSB_OK);
  EXPECT_EQ(b.Exit(), IUSB_ERR_NOT_INITIALIZED);
}

TEST_F(BridgeDll, HostServicesAgainstARunningServer) {
  ASSERT_EQ(b.Init(), IUSB_OK);
  EXPECT_EQ(b.AdbServerStart(), IUSB_SERVER_RUNNING);
  EXPECT_EQ(b.Vesion(), kFakeVersion);
  char list[4096] = {0};
  EXPECT_EQ(b.GetDevices(list, sizeof list), static_cast<int>(std::strlen(kFakeDevices)));
  EXPECT_STREQ(list, kFakeDevices);
  char small[10];
  EXPECT_EQ(b.GetDevices(small, sizeof small), 0);  // not even one line fits
  EXPECT_STREQ(small, "");
  EXPECT_EQ(b.GetDevices(nullptr, 4096), IUSB_ERR_ARGUMENT);
  EXPECT_EQ(b.Exit(), IUSB_OK);
}

TEST_F(BridgeDll, DeviceServices) {
  char out[256];
  EXPECT_EQ(b.Shell("WINE1", "echo from wine", out, sizeof out), 10);
  EXPECT_STREQ(out, "from wine\n");
  EXPECT_EQ(b.Shell("WINE2", "echo offline", out, sizeof out), IUSB_ERR_SERVER_FAIL);
  EXPECT_EQ(b.Forward("WINE1", "tcp:6100", "tcp:7100"), IUSB_OK);
  EXPECT_EQ(b.Forward(nullptr, nullptr, "tcp:7100"), IUSB_ERR_ARGUMENT);
  EXPECT_EQ(b.Uninstall("WINE1", "com.example.app", out, sizeof out), IUSB_OK);
  EXPECT_EQ(b.Uninstall("WINE1", "bad name", out, sizeof out), IUSB_ERR_ARGUMENT);

  char dir[MAX_PATH];
  ASSERT_GT(GetTempPathA(sizeof dir, dir), 0u);
  std::string apk = std::string(dir) + "adb bridge test.apk";
  std::string back = std::string(dir) + "adb-bridge-pulled.bin";
  FILE* f = std::fopen(apk.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fputs("PK not really an apk", f);
  std::fclose(f);
  EXPECT_EQ(b.Install("WINE1", apk.c_str(), out, sizeof out), IUSB_OK) << out;
  EXPECT_STREQ(out, "Success\n");
  EXPECT_EQ(b.Pull("WINE1", "/sdcard/missing.txt", back.c_str()), IUSB_ERR_SERVER_FAIL);
  EXPECT_EQ(GetFileAttributesA(back.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(b.Pull("WINE1", nullptr, back.c_str()), IUSB_ERR_ARGUMENT);
  DeleteFileA(apk.c_str());
}

// Last, since it stops the fake server; the stand-in adb.exe then takes over.
TEST_F(BridgeDll, ZzKillThenStartOurOwnServer) {
  EXPECT_EQ(b.AdbServerExit(), 1);  // this process started nothing yet
  EXPECT_EQ(b.KillServer(), IUSB_OK);
  EXPECT_EQ(b.Vesion(), IUSB_ERR_CONNECT);
  EXPECT_EQ(b.KillServer(), IUSB_ERR_CONNECT);

  char self[MAX_PATH] = {0};
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string adb(self);
  adb = adb.substr(0, adb.find_last_of("\\/") + 1) + "adb.exe";
  if (GetFileAttributesA(adb.c_str()) == INVALID_FILE_ATTRIBUTES)
    GTEST_SKIP() << "no stand-in adb.exe beside the test";
  ASSERT_EQ(b.AdbServerStart(), IUSB_OK);
  EXPECT_EQ(b.Vesion(), kFakeVersion + 1);
  EXPECT_EQ(b.AdbServerExit(), IUSB_OK);
  EXPECT_EQ(b.Vesion(), IUSB_ERR_CONNECT);
  EXPECT_EQ(b.AdbServerExit(), 1);
}

// --- stand-in adb.exe: answers host:version until host:kill or idle ---

bool RecvExact(SOCKET s, char* p, int n) {
  while (n > 0) {
    int r = recv(s, p, n, 0);
    if (r <= 0) return false;
    p += r;
    n -= r;
  }
  return true;
}

int ServeLikeAdb() {
  const char* env = std::getenv("ANDROID_ADB_SERVER_PORT");
  int port = env ? std::atoi(env) : 5037;
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return 1;
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<u_short>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listener, 8) != 0)
    return 1;
  for (;;) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(listener, &readable);
    timeval idle{20, 0};  // never outlive a test run that lost track of us
    if (select(0, &readable, nullptr, nullptr, &idle) <= 0) break;
    SOCKET c = accept(listener, nullptr, nullptr);
    if (c == INVALID_SOCKET) continue;
    char head[5] = {0}, body[256] = {0};
    bool kill = false;
    if (RecvExact(c, head, 4)) {
      int n = static_cast<int>(std::strtol(head, nullptr, 16));
      if (n > 0 && n < 256 && RecvExact(c, body, n)) {
        char reply[32];
        if (std::strcmp(body, "host:version") == 0) {
          std::snprintf(reply, sizeof reply, "OKAY0004%04x", kFakeVersion + 1);
        } else if (std::strcmp(body, "host:kill") == 0) {
          std::strcpy(reply, "OKAY");
          kill = true;
        } else {
          std::strcpy(reply, "FAIL0007unknown");
        }
        send(c, reply, static_cast<int>(std::strlen(reply)), 0);
      }
    }
    closesocket(c);
    if (kill) break;
  }
  closesocket(listener);
  WSACleanup();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "start-server") == 0) return ServeLikeAdb();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
