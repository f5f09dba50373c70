#include "support/usb_log.h"

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "support/config.h"
#include "support/sys_utils.h"

namespace USB {

Mutex& LogLock()
{
    static Mutex lock;
    return lock;
}

namespace {

// The relay's entry points and the hand-overs running in them.
Mutex g_relayMutex;
std::condition_variable_any g_relayIdle;
LogRelay g_relay GUARDED_BY(g_relayMutex);
int g_relaySending GUARDED_BY(g_relayMutex) = 0;
void (*g_relayExitOwed)() GUARDED_BY(g_relayMutex) = nullptr;  // run by the last hand-over in progress

void RelayRecord(const std::string& record)
{
    void (*send)(const char*) = nullptr;
    {
        LockGuard guard(g_relayMutex);
        send = g_relay.sendMsg;
        if (!send)
            return;
        ++g_relaySending;
    }
    send(record.c_str());
    void (*exit)() = nullptr;
    {
        LockGuard guard(g_relayMutex);
        if (--g_relaySending == 0) {
            exit = g_relayExitOwed;
            g_relayExitOwed = nullptr;
        }
    }
    g_relayIdle.notify_all();
    if (exit)
        exit();
}

void EnsureDirectory(const std::string& path)
{
    if (!FileExists(path))
        MakeDirectory(path);
}

const char* BaseName(const char* path)
{
    const char* base = path;
    for (const char* p = path; *p; ++p)
        if (*p == '/' || *p == '\\')
            base = p + 1;
    return base;
}

// Deletes a file that grew past the limit; false when it should not be written now.
bool RotateIfLarge(const std::string& path)
{
    return GetFileSize64(path) <= kLogSizeLimit || RemoveFile(path);
}

}  // namespace

std::string GetDataDirectory()
{
    std::string dir = GetPorts().system->AppDataFolder();
    dir += kPathSep;
    dir += "Ostrel";
    EnsureDirectory(dir);
    dir += kPathSep;
    dir += "usb";
    dir += kPathSep;
    EnsureDirectory(dir);
    return dir;
}

void LogLine(const char* file, int line, const char* format, ...)
{
    if (!format)
        return;
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    try {
        std::string text = FormatLocalTime("%Y-%m-%d %H:%M:%S") + " [" + BaseName(file ? file : "") + "," +
                           std::to_string(line) + "]: ";
        const int size = std::vsnprintf(nullptr, 0, format, args);
        if (size > 0) {
            const size_t head = text.size();
            text.resize(head + static_cast<size_t>(size) + 1);
            std::vsnprintf(&text[head], static_cast<size_t>(size) + 1, format, again);
            text.resize(head + static_cast<size_t>(size));
        }
        LockGuard guard(LogLock());
        const std::string path = GetDataDirectory() + "usb_log.txt";
        if (RotateIfLarge(path) && !AppendTextFile(path, text))
            DebugLine("open File " + path + " Error\n");
    } catch (...) {
        // Out of memory: the line is lost, the caller goes on.
    }
    va_end(again);
    va_end(args);
}

void WriteTrackLine(const std::string& record, bool relay)
{
    {
        LockGuard guard(LogLock());
        const std::string path = GetDataDirectory() + "usb_track.txt";
        if (RotateIfLarge(path) && !AppendTextFile(path, record + "\n"))
            DebugLine("open File " + path + " Error\n");
    }
    if (relay)
        RelayRecord(record);
}

void TrackRecord::Start(const std::string& vid, const std::string& pid, const std::string& serial,
                        const std::string& description)
{
    m_text = "date=" + FormatTrackTime() + "&platform=" + GetPlatformName() + "&os=" + GetOsName() +
             "&ver=" + m_config->BuildVersion() + "&vid=" + vid + "&pid=" + pid + "&sn=" + serial +
             "&desc=" + description + "&process=";
}

void SetLogRelay(const LogRelay& relay)
{
    LockGuard guard(g_relayMutex);
    g_relay = relay;
    // The same module may be loaded again: an exit owed to its earlier run must not end this one.
    g_relayExitOwed = nullptr;
}

void ExitLogRelay(uint32_t waitMs)
{
    void (*exit)() = nullptr;
    {
        UniqueLock guard(g_relayMutex);
        exit = g_relay.dllExit;
        g_relay = LogRelay{};
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        while (g_relaySending != 0) {
            if (g_relayIdle.wait_until(guard, deadline) == std::cv_status::timeout)
                break;
        }
        if (g_relaySending != 0) {
            g_relayExitOwed = exit;
            exit = nullptr;
        }
    }
    if (exit)
        exit();
}

}  // namespace USB
