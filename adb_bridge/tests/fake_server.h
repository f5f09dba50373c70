// Runs tests/e2e/fake_adb_server.py on a free port for the life of a test.
#pragma once

#include <string>
#include <vector>

namespace adb_test {

class FakeServer {
 public:
  // Extra command-line options for the fake, e.g. {"--close-early"}.
  explicit FakeServer(std::vector<std::string> options = {});
  ~FakeServer();
  FakeServer(const FakeServer&) = delete;
  FakeServer& operator=(const FakeServer&) = delete;

  bool ready() const { return port_ > 0; }
  int port() const { return port_; }
  const std::string& root() const { return root_; }          // device files
  const std::string& devices_file() const { return devices_; }
  void SetDevices(const std::string& text);
  std::vector<std::string> LogLines() const;
  // Waits (bounded) for the process to exit on its own; true if it did.
  bool WaitForExit();

 private:
  std::string dir_, root_, devices_, log_;
  int pid_ = -1;
  int port_ = 0;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& data);

}  // namespace adb_test
