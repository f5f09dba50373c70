#include "support/worker_pool.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>

#include "support/usb_lock.h"
#include "support/threads.h"
#include "support/usb_log.h"

namespace USB {

// Held by the threads too, so that a pool object going away leaves them nothing dangling.
struct WorkerPool::Shared {
    Mutex mutex;
    std::condition_variable_any work;
    std::condition_variable_any settled;
    std::deque<std::function<void()>> jobs GUARDED_BY(mutex);
    size_t maxThreads = 0;  // set before any thread starts
    size_t threads GUARDED_BY(mutex) = 0;
    size_t idle GUARDED_BY(mutex) = 0;
    size_t running GUARDED_BY(mutex) = 0;
    bool closed GUARDED_BY(mutex) = false;

    static void Serve(const std::shared_ptr<Shared>& self)
    {
        UniqueLock lock(self->mutex);
        for (;;) {
            ++self->idle;
            while (!self->closed && self->jobs.empty())
                self->work.wait(lock);
            --self->idle;
            if (self->jobs.empty())
                break;
            std::function<void()> job = std::move(self->jobs.front());
            self->jobs.pop_front();
            ++self->running;
            lock.Unlock();
            LogFailures("a background job failed", job);
            job = nullptr;  // what the job held goes before the pool hears it ended
            lock.Lock();
            --self->running;
            if (self->running == 0 && self->jobs.empty())
                self->settled.notify_all();
        }
        --self->threads;
        self->settled.notify_all();
    }
};

WorkerPool::WorkerPool(size_t maxThreads) : m_shared(std::make_shared<Shared>())
{
    m_shared->maxThreads = maxThreads ? maxThreads : 1;
}

WorkerPool::~WorkerPool()
{
    Close();
}

bool WorkerPool::Run(std::function<void()> job)
{
    std::shared_ptr<Shared> shared = m_shared;
    bool needThread = false;
    {
        LockGuard lock(shared->mutex);
        if (shared->closed)
            return false;
        shared->jobs.push_back(std::move(job));
        // Idle threads already woken by earlier jobs are not free for this one.
        needThread = shared->idle < shared->jobs.size() && shared->threads < shared->maxThreads;
        if (needThread)
            ++shared->threads;
    }
    shared->work.notify_one();
    if (needThread && !StartThread([shared] { Shared::Serve(shared); })) {
        LockGuard lock(shared->mutex);
        --shared->threads;
        // Without any thread the job would wait for ever: drop it and say so.
        if (shared->threads == 0) {
            shared->jobs.clear();
            shared->settled.notify_all();
            return false;
        }
    }
    return true;
}

bool WorkerPool::Settled() const
{
    LockGuard lock(m_shared->mutex);
    return m_shared->jobs.empty() && m_shared->running == 0;
}

void WorkerPool::Close()
{
    {
        LockGuard lock(m_shared->mutex);
        m_shared->closed = true;
        m_shared->jobs.clear();
    }
    m_shared->work.notify_all();
    m_shared->settled.notify_all();
}

void WorkerPool::Open()
{
    LockGuard lock(m_shared->mutex);
    m_shared->closed = false;
}

bool WorkerPool::WaitSettled(uint32_t ms) const
{
    UniqueLock lock(m_shared->mutex);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!m_shared->jobs.empty() || m_shared->running != 0) {
        if (m_shared->settled.wait_until(lock, deadline) == std::cv_status::timeout)
            return m_shared->jobs.empty() && m_shared->running == 0;
    }
    return true;
}

}  // namespace USB
