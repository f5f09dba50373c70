#include "fakes/fake_platform.h"

#include <cerrno>
#include <cstdio>
#include <atomic>
#include <cstdlib>
#include <vector>
#include <fstream>
#include <sstream>

#ifdef _WIN32
#include <direct.h>
#include <io.h>
#include <process.h>
#else
#include <unistd.h>
#endif

#include "support/sys_utils.h"

namespace USB {
namespace Fake {

void Clock::SleepMs(uint32_t ms)
{
    std::lock_guard<std::mutex> g(m_mutex);
    m_sleeps.push_back(ms);
    now += ms;
}

std::vector<uint32_t> Clock::Sleeps()
{
    std::lock_guard<std::mutex> g(m_mutex);
    return m_sleeps;
}

size_t Clock::CountSleeps(uint32_t ms)
{
    std::lock_guard<std::mutex> g(m_mutex);
    size_t n = 0;
    for (uint32_t s : m_sleeps)
        n += s == ms;
    return n;
}

void Clock::Clear()
{
    std::lock_guard<std::mutex> g(m_mutex);
    m_sleeps.clear();
}

void* Library::Load(const char* name)
{
    loads.push_back(name ? name : "");
    auto it = libraries.find(name ? name : "");
    return it == libraries.end() ? nullptr : &it->second;
}

void* Library::Symbol(void* module, const char* name)
{
    if (!module)
        return nullptr;
    auto& table = *static_cast<std::map<std::string, void*>*>(module);
    auto it = table.find(name);
    return it == table.end() ? nullptr : it->second;
}

std::string MakeTempDir()
{
    static std::atomic<int> counter{0};
    const char* tmp = std::getenv("TMPDIR");
#ifdef _WIN32
    std::string dir = std::string(tmp ? tmp : "C:\\windows\\temp") + "\\usbfake";
    _mkdir(dir.c_str());
    // Wine reuses process ids across runs: skip folders an earlier run left behind.
    const std::string base = dir + "\\" + std::to_string(_getpid()) + "-";
    do {
        dir = base + std::to_string(counter++);
    } while (_mkdir(dir.c_str()) != 0 && errno == EEXIST);
#else
    std::string pattern = std::string(tmp ? tmp : "/tmp") + "/usbfake-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    const char* made = mkdtemp(buf.data());
    std::string dir = made ? made : "/tmp";
    (void)counter;
#endif
    return dir;
}

void RemoveTree(const std::string& path)
{
    if (path.size() < 8)
        return;
#ifdef _WIN32
    std::string cmd = "rmdir /s /q \"" + path + "\" >NUL 2>NUL";
#else
    std::string cmd = "rm -rf '" + path + "'";
#endif
    if (std::system(cmd.c_str()) != 0) {
        // Leftover temp files are harmless.
    }
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
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
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
