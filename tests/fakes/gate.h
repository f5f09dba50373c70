// Holds the threads that pass it while closed: a host callback, a tree listing or a sink call in
// progress, for as long as a test needs one; and a bounded poll for what other threads do.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace USB {
namespace Fake {

struct Gate {
    void Pass()
    {
        std::unique_lock<std::mutex> g(mutex);
        ++passed;
        changed.notify_all();
        changed.wait(g, [this] { return !closed; });
    }
    // Until `count` threads have come to it (generously bounded).
    bool WaitPassed(int count = 1)
    {
        std::unique_lock<std::mutex> g(mutex);
        return changed.wait_for(g, std::chrono::seconds(5), [&] { return passed >= count; });
    }
    void Set(bool close)
    {
        std::lock_guard<std::mutex> g(mutex);
        closed = close;
        changed.notify_all();
    }

    std::mutex mutex;
    std::condition_variable changed;
    bool closed = false;
    int passed = 0;
};

// Polls until done() holds, for at most about ms milliseconds; whether it came to hold.
template <typename Done>
bool WaitFor(Done done, int ms = 10000)
{
    for (int i = 0; i < ms && !done(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return done();
}

}  // namespace Fake
}  // namespace USB
