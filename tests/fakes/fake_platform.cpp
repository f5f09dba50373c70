#include "fakes/fake_platform.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/sys_utils.h"

namespace USB {
namespace Fake {

namespace fs = std::filesystem;

std::string MakeTempDir()
{
    // Wine reuses process ids across runs: a fresh name is one that could be created.
    static std::atomic<unsigned> counter{0};
    std::error_code error;
    const fs::path base = fs::temp_directory_path(error) / "usbfake";
    fs::create_directories(base, error);
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    for (;;) {
        const fs::path dir = base / (std::to_string(stamp) + "-" + std::to_string(counter++));
        if (fs::create_directory(dir, error))
            return dir.string();
        if (error)
            return base.string();
    }
}

void RemoveTree(const std::string& path)
{
    std::error_code error;  // leftover temp files are harmless
    fs::remove_all(path, error);
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

Platform::Platform() : ports(GetPorts()), m_saved(GetPorts())
{
    root = MakeTempDir();
    system.appData = root + kPathSep + "appdata";
    MakeDirectory(system.appData);
    system.exePath = root + kPathSep + "host.exe";
    system.tempFolder = root + kPathSep;
    system.systemFolder = root + kPathSep + "system32" + kPathSep;
    ports.system = &system;
    ports.clock = &clock;
    ports.library = &library;
    ports.guard = &guard;
}

Platform::~Platform()
{
    ports = m_saved;
    RemoveTree(root);
}

std::string Platform::DataDirectory() const
{
    return system.appData + kPathSep + "Ostrel" + kPathSep + "usb" + kPathSep;
}

std::string Platform::ReadDataFile(const std::string& name) const
{
    return ReadFile(DataDirectory() + name);
}

}  // namespace Fake
}  // namespace USB
