// Scriptable fakes for the platform ports, and an RAII installer that swaps them into the
// process-wide bundle for one test.
#pragma once

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "fakes/fake_guard.h"
#include "fakes/transcript.h"
#include "support/ports/ports.h"

namespace USB {
namespace Fake {

class System : public SystemPort {
public:
    std::string exePath = "/tmp/usbhelper-fake/host.exe";
    std::string appData;  // set by Platform to a fresh temp folder
    std::string tempFolder = "/tmp/";
    std::string systemFolder;  // set by Platform
    uint32_t processId = 4242;
    OsVersionFacts version{true, 6, 1, 2, 1, 9, 0};
    Wow64 wow64 = Wow64::Yes;
    bool process64 = false;  // the native build stands for the 32-bit library unless told
    bool networkAlive = true;
    int socketStartups = 0;
    int socketCleanups = 0;
    std::vector<std::string> debugOutput;

    std::string ExecutablePath() override { return exePath; }
    std::string AppDataFolder() override { return appData; }
    std::string TempFolder() override { return tempFolder; }
    std::string SystemFolder() override { return systemFolder; }
    uint32_t ProcessId() override { return processId; }
    OsVersionFacts OsVersion() override { return version; }
    Wow64 Wow64State() override { return wow64; }
    bool Is64BitProcess() override { return process64; }
    bool NetworkAlive() override { return networkAlive; }
    bool SocketsStartup() override
    {
        ++socketStartups;
        return true;
    }
    void SocketsCleanup() override { ++socketCleanups; }
    std::string ErrorText(uint32_t code) override { return "error " + std::to_string(code); }
    void DebugOutput(const std::string& text) override { debugOutput.push_back(text); }
};

// Sleeps return at once; each is counted and advances virtual time.
class Clock : public ClockPort {
public:
    void SleepMs(uint32_t ms) override
    {
        if (onSleep)
            onSleep(ms);
        std::lock_guard<std::mutex> g(m_mutex);
        m_sleeps.push_back(ms);
        now += ms;
    }
    uint64_t NowMs() override { return now.load(); }
    // The loop's wait: time moves on (as one pause up to its end) only once nothing else can wake
    // it; pauses of other threads that pass its end end it too.
    bool WaitFor(UsbEvent& wake, uint32_t ms, const std::function<bool()>& settled) override
    {
        const uint64_t end = now + ms;
        for (;;) {
            if (wake.Wait(0))
                return true;
            if (ms != UsbEvent::kInfinite && now >= end)
                return false;
            if (ms != UsbEvent::kInfinite && (!settled || settled())) {
                if (wake.Wait(0))
                    return true;
                SleepMs(static_cast<uint32_t>(end - std::min<uint64_t>(now, end)));
                return false;
            }
            if (wake.Wait(ms == UsbEvent::kInfinite ? UsbEvent::kInfinite : 1))
                return true;
        }
    }
    std::vector<uint32_t> Sleeps()
    {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_sleeps;
    }
    size_t CountSleeps(uint32_t ms)
    {
        const std::vector<uint32_t> sleeps = Sleeps();
        return static_cast<size_t>(std::count(sleeps.begin(), sleeps.end(), ms));
    }
    void Clear()
    {
        std::lock_guard<std::mutex> g(m_mutex);
        m_sleeps.clear();
    }

    std::atomic<uint64_t> now{0};
    // Runs at each pause, on the thread that pauses (set it while no flow runs).
    std::function<void(uint32_t ms)> onSleep;

private:
    std::mutex m_mutex;
    std::vector<uint32_t> m_sleeps;
};

// Libraries are names mapped to symbol tables of plain function pointers.
class Library : public LibraryPort {
public:
    void* Load(const char* name) override
    {
        loads.push_back(name ? name : "");
        auto it = libraries.find(name ? name : "");
        return it == libraries.end() ? nullptr : &it->second;
    }
    void* Symbol(void* module, const char* name) override
    {
        if (!module)
            return nullptr;
        const auto& table = *static_cast<std::map<std::string, void*>*>(module);
        const auto it = table.find(name);
        return it == table.end() ? nullptr : it->second;
    }
    void Free(void*) override {}

    std::map<std::string, std::map<std::string, void*>> libraries;
    std::vector<std::string> loads;
};

// Installs the fakes for the lifetime of the object; restores the previous bundle after.
class Platform {
public:
    Platform();
    ~Platform();
    Platform(const Platform&) = delete;
    Platform& operator=(const Platform&) = delete;

    // Where the library's data directory lives for this test.
    std::string DataDirectory() const;
    std::string ReadDataFile(const std::string& name) const;
    // The log and track files with "\n" line ends; the log's messages without their prefix.
    std::string LogText() const { return UnixLines(ReadDataFile("usb_log.txt")); }
    std::string TrackText() const { return UnixLines(ReadDataFile("usb_track.txt")); }
    std::string Log() const { return LogMessages(LogText()); }
    // How many times the log holds this text (texts carry their own "\n").
    size_t LogCount(const std::string& text) const { return CountOf(LogText(), text); }

    System system;
    Clock clock;
    Library library;
    Guard guard;
    Ports& ports;
    std::string root;  // fresh temp folder for this test

private:
    Ports m_saved;
};

// True once the test binary's default ports were made (tests/fakes/default).
bool DefaultPortsMade();

std::string MakeTempDir();
void RemoveTree(const std::string& path);
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);

}  // namespace Fake
}  // namespace USB
