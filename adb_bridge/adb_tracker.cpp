#include "adb_tracker.h"

#include <algorithm>
#include <chrono>

namespace adb {

DeviceTracker::DeviceTracker(ClientOptions options, ThreadStarter start) : options_(options), start_(start) {}

DeviceTracker::~DeviceTracker()
{
    Stop();
    // The thread uses this object until its very end.
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return !running_; });
}

void DeviceTracker::Settle(std::unique_lock<std::mutex>& lock, unsigned timeout_ms)
{
    const unsigned epoch = stops_;
    if (!running_) {
        running_ = true;
        run_epoch_ = stops_;
        state_ = State::kStarting;
        lock.unlock();
        const bool started = start_ != nullptr && start_(this);
        lock.lock();
        if (!started) {
            running_ = false;
            state_ = State::kUnavailable;
            failure_ = ERR_IO;
            // Callers already waiting for the first attempt must hear of it too.
            changed_.notify_all();
            return;
        }
    }
    changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                      [&] { return state_ != State::kStarting || stops_ != epoch; });
}

int DeviceTracker::Wait(unsigned last, unsigned timeout_ms, unsigned* generation)
{
    std::unique_lock<std::mutex> lock(mutex_);
    const unsigned epoch = stops_;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    Settle(lock, timeout_ms);
    changed_.wait_until(lock, deadline,
                        [&] { return stops_ != epoch || generation_ != last || state_ == State::kUnavailable; });
    if (generation)
        *generation = generation_;
    if (stops_ != epoch)
        return ERR_IO;
    if (generation_ != last)
        return 1;
    return state_ == State::kUnavailable ? failure_ : 0;
}

int DeviceTracker::Listing(std::string* listing, unsigned* generation)
{
    std::unique_lock<std::mutex> lock(mutex_);
    Settle(lock, static_cast<unsigned>(options_.connect_ms));
    if (generation)
        *generation = generation_;
    if (state_ != State::kTracking)
        return state_ == State::kUnavailable ? failure_ : ERR_IO;
    *listing = listing_;
    return OK;
}

void DeviceTracker::Stop()
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (!running_)
        return;
    ++stops_;
    if (socket_)
        socket_->Shutdown();
    changed_.notify_all();
    // A list read ends at once; a connect to a port nobody answers may take its whole bound, and
    // the caller (a host stopping) must not: the thread then ends on its own, without tracking.
    changed_.wait_for(lock, std::chrono::milliseconds(kStopWaitMs), [&] { return !running_; });
    state_ = State::kStarting;
    listing_.clear();
}

void DeviceTracker::Publish(const std::string& listing)
{
    std::lock_guard<std::mutex> lock(mutex_);
    state_ = State::kTracking;
    listing_ = listing;
    if (++generation_ == 0)
        generation_ = 1;
    changed_.notify_all();
}

void DeviceTracker::Lost(int code)
{
    // A list that was being tracked is gone: that is a change too.
    if (state_ == State::kTracking && ++generation_ == 0)
        generation_ = 1;
    listing_.clear();
    state_ = State::kUnavailable;
    failure_ = code < 0 ? code : ERR_IO;
    changed_.notify_all();
}

void DeviceTracker::Run()
{
    int retry_ms = kFirstRetryMs;
    std::unique_lock<std::mutex> lock(mutex_);
    // This thread tracks until the next Stop; one that came while it started ends it at once.
    const unsigned epoch = run_epoch_;
    auto stopped = [&] { return stops_ != epoch; };
    while (!stopped()) {
        lock.unlock();
        int rc = ERR_CONNECT;
        {
            Socket socket;
            Client client(options_);
            try {
                if (socket.Connect(options_.port, options_.connect_ms, options_.io_ms)) {
                    lock.lock();
                    const bool stop = stopped();
                    if (!stop)
                        socket_ = &socket;
                    lock.unlock();
                    rc = stop ? ERR_IO : client.TrackDevices(socket);
                    if (rc == OK) {
                        retry_ms = kFirstRetryMs;
                        socket.SetIoMs(0);  // the next list comes when something changes, however late
                        std::string listing;
                        while ((rc = client.NextDeviceList(socket, &listing)) == OK)
                            Publish(listing);
                    }
                }
            } catch (...) {
                rc = ERR_IO;
            }
            lock.lock();
            socket_ = nullptr;
        }
        if (stopped())
            break;
        Lost(rc);
        changed_.wait_for(lock, std::chrono::milliseconds(retry_ms), stopped);
        retry_ms = std::min(retry_ms * 2, kLastRetryMs);
    }
    running_ = false;
    changed_.notify_all();
}

}  // namespace adb
