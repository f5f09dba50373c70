// The diagnostic log ("usb_log.txt") and the track file ("usb_track.txt") in the data directory,
// and the track record one phone's flow writes there.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "support/usb_lock.h"

#if defined(__GNUC__)
#define USB_PRINTF_LIKE(f, a) __attribute__((format(printf, f, a)))
#else
#define USB_PRINTF_LIKE(f, a)
#endif

// One call per line; every message carries its own "\n".
#define USB_LOG(...) ::USB::LogLine(__FILE__, __LINE__, __VA_ARGS__)

namespace USB {

constexpr long long kLogSizeLimit = 1048576;

// Optional relay library entry points (all cdecl); null when absent.
struct LogRelay {
    void (*dllInit)(int) = nullptr;
    void (*sendMsg)(const char*) = nullptr;
    void (*dllExit)() = nullptr;
};
// The relay track records go to from now on (all null: none). Set before the threads that
// write track records start.
void SetLogRelay(const LogRelay& relay);
// Ends the relay: no record is handed to it any more, and its dllExit runs once the hand-overs
// in progress have returned (waiting for them at most `waitMs`; after that the last of them runs
// it). A relay whose dllExit ran is never called again.
void ExitLogRelay(uint32_t waitMs);

// Serialises every write to either file; innermost of all locks.
Mutex& LogLock();

// Roaming application data + "Ostrel" + "usb", created on demand, with its closing separator.
std::string GetDataDirectory();

// Never throws: a line that cannot be written is lost.
void LogLine(const char* file, int line, const char* format, ...) USB_PRINTF_LIKE(3, 4);

// Runs fn; what it throws is logged as "<failure>: <reason>" (or "<failure>") and goes no
// further: a thread's or a loop's next piece of work still runs.
template <typename Fn>
void LogFailures(const char* failure, Fn&& fn)
{
    try {
        fn();
    } catch (const std::exception& e) {
        USB_LOG("%s: %s\n", failure, e.what());
    } catch (...) {
        USB_LOG("%s\n", failure);
    }
}

// Appends one record line to the track file; hands it to the relay when asked, even if the
// file write failed.
void WriteTrackLine(const std::string& record, bool relay);

class UsbConfig;

// The track record of one phone's connection attempt: a header naming the phone, then the steps
// it went through, written as one line of the track file when the attempt fails.
class TrackRecord {
public:
    // The build version of the header comes from this configuration.
    explicit TrackRecord(const UsbConfig& config) : m_config(&config) {}

    // Replaces the record by the header of this phone.
    void Start(const std::string& vid, const std::string& pid, const std::string& serial,
               const std::string& description);
    void Clear() { m_text.clear(); }
    TrackRecord& operator+=(const std::string& step)
    {
        m_text += step;
        return *this;
    }
    const std::string& Text() const { return m_text; }
    // Appends the record to the track file (and hands it to the relay when asked).
    void Write(bool relay) const { WriteTrackLine(m_text, relay); }

private:
    const UsbConfig* m_config;
    std::string m_text;
};

}  // namespace USB
