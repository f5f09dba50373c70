#include "fake_server.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#ifndef FAKE_ADB_SERVER_SCRIPT
#error "FAKE_ADB_SERVER_SCRIPT must name tests/e2e/fake_adb_server.py"
#endif

namespace adb_test {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
}

FakeServer::FakeServer(std::vector<std::string> options) {
  char tmpl[] = "/tmp/adb-fake-XXXXXX";
  if (!mkdtemp(tmpl)) return;
  dir_ = tmpl;
  root_ = dir_ + "/device";
  devices_ = dir_ + "/devices.txt";
  log_ = dir_ + "/requests.log";
  WriteFile(devices_, "");

  std::vector<std::string> args = {"python3", FAKE_ADB_SERVER_SCRIPT, "0", "--root", root_,
                                   "--log", log_};
  bool has_devices = false;
  for (auto& o : options) has_devices |= o == "--devices" || o == "--big-listing";
  if (!has_devices) args.insert(args.end(), {"--devices-file", devices_});
  args.insert(args.end(), options.begin(), options.end());

  int out[2];
  if (pipe(out) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    dup2(out[1], STDOUT_FILENO);
    close(out[0]);
    close(out[1]);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  // "READY <port>" arrives once the listener is bound; EOF means it died.
  std::FILE* f = fdopen(out[0], "r");
  char line[64] = {0};
  if (f && std::fgets(line, sizeof line, f)) std::sscanf(line, "READY %d", &port_);
  if (f) std::fclose(f);
}

FakeServer::~FakeServer() {
  int status;
  if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == 0) {
    kill(pid_, SIGTERM);
    if (!WaitForExit()) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
  }
  if (!dir_.empty()) std::system(("rm -rf '" + dir_ + "'").c_str());
}

void FakeServer::SetDevices(const std::string& text) { WriteFile(devices_, text); }

std::vector<std::string> FakeServer::LogLines() const {
  std::vector<std::string> lines;
  std::istringstream in(ReadFile(log_));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool FakeServer::WaitForExit() {
  if (pid_ <= 0) return true;
  int status;
  for (int i = 0; i < 100; ++i) {
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

}  // namespace adb_test
