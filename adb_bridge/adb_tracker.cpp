#include "adb_tracker.h"

#include <algorithm>
#include <chrono>

namespace adb {

DeviceTracker::DeviceTracker(ClientOptions options, ThreadStarter start) : options_(options), start_(start) {}

DeviceTracker::~DeviceTracker()
{
    Stop();
}

void DeviceTracker::Settle(std::unique_lock<std::mutex>& lock, unsigned timeout_ms)
{
    const unsigned epoch = stops_;
    if (!running_) {
        running_ = true;
        state_ = State::kStarting;
        lock.unlock();
        const bool started = start_ != nullptr && start_(this);
        lock.lock();
        if (!started) {
            running_ = false;
            state_ = State::kUnavailable;
            failure_ = ERR_IO;
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
    stopping_ = true;
    if (socket_)
        socket_->Shutdown();
    changed_.notify_all();
    // Bounded: a blocked connect or status read ends within the options' bounds, a list read at once.
    changed_.wait(lock, [&] { return !running_; });
    stopping_ = false;
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
    while (!stopping_) {
        lock.unlock();
        int rc = ERR_CONNECT;
        {
            Socket socket;
            Client client(options_);
            try {
                if (socket.Connect(options_.port, options_.connect_ms, options_.io_ms)) {
                    lock.lock();
                    const bool stop = stopping_;
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
        Lost(rc);
        changed_.wait_for(lock, std::chrono::milliseconds(retry_ms), [&] { return stopping_; });
        retry_ms = std::min(retry_ms * 2, kLastRetryMs);
    }
    running_ = false;
    changed_.notify_all();
}

}  // namespace adb
