// The worker threads that run blocking work (ADB server starts and listings, HTTP, downloads,
// installers, waits on Windows' own driver installs) so that the event loop never waits for it.
// Threads are made as jobs need them, up to a bound, and wait without timeouts when idle: an
// idle pool costs no wakeups.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace USB {

class WorkerPool {
public:
    explicit WorkerPool(size_t maxThreads = 24);
    // Refuses new jobs and lets the idle threads go; running jobs end on their own.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Queues a job; false (the job is dropped) once closed or when no thread could be had at all.
    bool Run(std::function<void()> job);
    // True when no job is queued or running.
    bool Settled() const;
    // Refuses new jobs and drops the queued ones; `Open` takes jobs again.
    void Close();
    void Open();
    // Waits until the jobs in progress have ended, at most `ms`; true when they have.
    bool WaitSettled(uint32_t ms) const;

private:
    struct Shared;
    std::shared_ptr<Shared> m_shared;
};

}  // namespace USB
