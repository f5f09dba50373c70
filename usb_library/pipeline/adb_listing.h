// The ADB server as the phones' flows see it: a server start (one at a time, whoever asks), one
// listing attempt (the server made sure of, then its device list), and the list the server
// pushes to newer bridges, which ends the pauses between attempts early.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "discovery/device_records.h"

namespace USB {

// "serial\tstate" lines as the server writes them; lines without exactly one TAB are ignored and
// the first line of a serial wins.
std::map<std::string, std::string> ParseAdbListing(const std::string& text);
// Whether the server's `listed` serial is the phone Windows names `serial`: the same text in
// lower or in upper case.
bool ListedAs(const std::string& serial, const std::string& listed);

constexpr int kListingBufferSize = 4096;
constexpr int kFindAttempts = 15;
constexpr int kStatusAttempts = 10;
constexpr int kSerialFixAttempts = 5;
constexpr uint32_t kListingPauseMs = 1000;
constexpr uint32_t kOfflinePauseMs = 200;

class AdbListingSource {
public:
    struct Listing {
        std::map<std::string, AdbDevice> entries;  // by serial, the first line of each
        std::vector<std::string> repeated;         // serials listed more than once
    };

    // IUSB_Init, then a server start; notes whether the server is another program's.
    void StartServer();
    // One listing attempt: the server started or found running, then its device list.
    Listing List();
    bool Borrowed() const { return m_borrowed; }

    // Whether the bridge follows the server's pushed list.
    bool CanTrack() const;
    // Waits at most `ms` for the pushed list to differ from `generation` (0: any list): Changed
    // with the new list in `entries` and its generation, TimedOut, or Unavailable at once while
    // the list cannot be followed (no server yet, tracking stopped). Once `stopped`, the bridge
    // is not asked again: asking would start its tracking anew.
    enum class Change { Changed, TimedOut, Unavailable };
    Change WaitForChange(unsigned& generation, uint32_t ms, std::map<std::string, std::string>& entries,
                         const std::atomic<bool>& stopped);
    // Lets the pushed list go: waiters return at once and the bridge's thread ends.
    void StopTracking();

private:
    void EnsureServer();

    // One server start at a time: a second caller waits and then finds it running.
    Mutex m_startMutex;
    std::atomic<bool> m_borrowed{false};
};

}  // namespace USB
