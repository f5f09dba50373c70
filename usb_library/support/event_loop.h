// The event loop's machinery: tasks posted from any thread, timers on the clock port, and the
// wait between them. The loop runs one thing at a time; it never waits for blocking work, which
// runs on the worker pool and posts its result back as a task.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>

#include "support/usb_event.h"
#include "support/usb_lock.h"
#include "support/worker_pool.h"

namespace USB {

using TimerId = uint64_t;
constexpr TimerId kNoTimer = 0;

class EventLoop {
public:
    using Task = std::function<void()>;

    explicit EventLoop(WorkerPool& pool) : m_pool(pool) {}
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Any thread: runs `task` on the loop, after the tasks posted before it.
    void Post(Task task) EXCLUDES(m_mutex);
    // Any thread: the loop looks at its sources again (a message was queued).
    void Wake() { m_wake.Set(); }
    // Runs `job` on a worker; `done` then runs on the loop. What the job hands to `done` is its
    // own business: both are closures.
    bool RunJob(Task job) { return m_pool.Run(std::move(job)); }
    WorkerPool& Pool() { return m_pool; }

    // Runs at the start of every turn, on the loop's thread.
    void SetTurnHook(std::function<void()> hook) { m_turnHook = std::move(hook); }

    // Loop thread only. Timers due at the same turn run in the order they were set.
    TimerId After(uint32_t ms, Task fire);
    void Cancel(TimerId& id);
    size_t Timers() const { return m_timers.size(); }

    // One turn: the tasks posted before it began, then one item of `source` (it says whether it
    // took one), then the due timers. Waits for work first when there was none at the last turn.
    // Returns false when the loop had nothing to do and nothing is in flight: no task, no timer,
    // no job.
    bool Turn(const std::function<bool()>& source, const std::function<bool()>& stopped);
    // Turns until `stopped` says so.
    void Run(const std::function<bool()>& source, const std::function<bool()>& stopped);
    // Turns until nothing is left to do: no task is queued and `quiet` says the rest may wait
    // (by default: no timer and no job either). For callers that drive the loop on their own
    // thread; false when `stopped` ended it first.
    bool RunUntilIdle(const std::function<bool()>& source, const std::function<bool()>& stopped,
                      const std::function<bool()>& quiet = nullptr);
    // Drops every task and timer (a stop: nothing of the old run may come back).
    void Clear() EXCLUDES(m_mutex);

private:
    bool RunTasks(const std::function<bool()>& stopped);
    bool RunDueTimers(const std::function<bool()>& stopped);
    // Waits until a task or wake comes, or the next timer is due. False when nothing can come.
    bool Wait();

    WorkerPool& m_pool;
    std::function<void()> m_turnHook;
    Mutex m_mutex;
    std::deque<Task> m_tasks GUARDED_BY(m_mutex);
    UsbEvent m_wake;
    // By due time, then by id: ids grow, so equal due times run in the order they were set.
    std::map<std::pair<uint64_t, TimerId>, Task> m_timers;
    std::map<TimerId, uint64_t> m_dueOf;
    TimerId m_nextTimer = 0;
};

}  // namespace USB
