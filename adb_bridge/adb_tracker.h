// The server's device list as it pushes it: one host:track-devices connection held by a thread,
// reconnected with a bounded back-off when the server goes away, and a generation counter that
// moves with every list so that callers can wait for "the list changed".
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>

#include "adb_client.h"
#include "adb_socket.h"

namespace adb {

class DeviceTracker {
public:
    // Runs tracker->Run() on a new thread; false when no thread could be started.
    using ThreadStarter = bool (*)(DeviceTracker* tracker);

    DeviceTracker(ClientOptions options, ThreadStarter start);
    ~DeviceTracker();  // stops the thread
    DeviceTracker(const DeviceTracker&) = delete;
    DeviceTracker& operator=(const DeviceTracker&) = delete;

    // Both start the thread when it is not running. Wait: until the generation differs from `last`
    // (0 when none was seen), at most timeout_ms; 1 changed, 0 timed out, negative while tracking
    // is unavailable (the last failure: ERR_CONNECT, ERR_SERVER_FAIL, ERR_IO).
    int Wait(unsigned last, unsigned timeout_ms, unsigned* generation);
    // The latest list ("serial\tstate\n" lines), or negative as above.
    int Listing(std::string* listing, unsigned* generation);
    // Ends the thread and wakes every waiter (they get ERR_IO); a later call starts it again.
    // Returns within kStopWaitMs: a thread still connecting then ends on its own once its connect
    // does, without tracking.
    void Stop();

    // The thread's work; returns once Stop has been asked.
    void Run();

    // Bounds of the reconnect back-off, doubled from the first to the second.
    static constexpr int kFirstRetryMs = 50;
    static constexpr int kLastRetryMs = 2000;
    static constexpr int kStopWaitMs = 100;

private:
    enum class State { kStarting, kTracking, kUnavailable };

    // Starts the thread when needed, then waits (bounded) for its first connection attempt.
    void Settle(std::unique_lock<std::mutex>& lock, unsigned timeout_ms);
    void Publish(const std::string& listing);
    void Lost(int code);
    int Result(unsigned* generation) const;

    ClientOptions options_;
    ThreadStarter start_;
    std::mutex mutex_;
    std::condition_variable changed_;
    State state_ = State::kStarting;
    int failure_ = ERR_IO;
    unsigned generation_ = 0;
    std::string listing_;
    bool running_ = false;
    unsigned stops_ = 0;        // Stop calls so far: a waiter that saw one leaves
    unsigned run_epoch_ = 0;    // stops_ when the running thread was started
    Socket* socket_ = nullptr;  // the open connection, for Stop to shut down
};

}  // namespace adb
