// Phones the ADB server lists as unauthorized or offline: a helper thread follows the server's
// pushed list and, once it lists such a phone as "device", posts an action message so that the
// event loop checks that phone again. The loop never waits for the user.
#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace USB {

// "serial\tstate" lines as the server writes them; lines without exactly one TAB are ignored and
// the first line of a serial wins.
std::map<std::string, std::string> ParseAdbListing(const std::string& text);

class AdbStateWatch {
public:
    AdbStateWatch() = default;
    ~AdbStateWatch();
    AdbStateWatch(const AdbStateWatch&) = delete;
    AdbStateWatch& operator=(const AdbStateWatch&) = delete;

    // Where the re-runs go: the action message {"action":"ADB_DEVICE_READY","device_sn":serial}.
    void SetPoster(std::function<void(const std::string&)> post);
    // Waits for the serial (as the server writes it) to be listed as "device"; false when the
    // bridge cannot follow the list (then nothing is posted).
    bool Watch(const std::string& serial);
    void Cancel(const std::string& serial);
    // True once for each re-run this watch posted for the serial.
    bool TakeReady(const std::string& serial);
    // Drops every wait and ends the thread.
    void Stop();

private:
    void Run();

    std::mutex m_mutex;
    std::function<void(const std::string&)> m_post;
    std::set<std::string> m_waiting;
    std::set<std::string> m_ready;
    std::thread m_thread;
    bool m_running = false;
    bool m_stop = false;
};

}  // namespace USB
