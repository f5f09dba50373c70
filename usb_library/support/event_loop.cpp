#include "support/event_loop.h"

#include "support/ports/ports.h"
#include "support/usb_log.h"

namespace USB {

namespace {

// Timers due this close together run at one wakeup: the phones' pauses are "at most" waits, and
// a hub of phones waiting in step must not wake the loop once per phone.
constexpr uint64_t kTimerSlackMs = 25;

// A task that throws is logged; the loop goes on with the next one.
void RunGuarded(const EventLoop::Task& task)
{
    LogFailures("a step of the event loop failed", task);
}

}  // namespace

void EventLoop::Post(Task task)
{
    {
        LockGuard lock(m_mutex);
        m_tasks.push_back(std::move(task));
    }
    m_wake.Set();
}

TimerId EventLoop::After(uint32_t ms, Task fire)
{
    const uint64_t due = GetPorts().clock->NowMs() + ms;
    const TimerId id = ++m_nextTimer;
    m_timers.emplace(std::make_pair(due, id), std::move(fire));
    m_dueOf.emplace(id, due);
    return id;
}

void EventLoop::Cancel(TimerId& id)
{
    const auto it = m_dueOf.find(id);
    if (it != m_dueOf.end()) {
        m_timers.erase(std::make_pair(it->second, id));
        m_dueOf.erase(it);
    }
    id = kNoTimer;
}

bool EventLoop::RunTasks(const std::function<bool()>& stopped)
{
    // The tasks there now; those they or others post meanwhile wait for the next turn, so a turn
    // ends however busy the loop is.
    size_t count = 0;
    {
        LockGuard lock(m_mutex);
        count = m_tasks.size();
    }
    bool ran = false;
    for (; count > 0 && !stopped(); --count) {
        Task task;
        {
            LockGuard lock(m_mutex);
            if (m_tasks.empty())
                break;
            task = std::move(m_tasks.front());
            m_tasks.pop_front();
        }
        RunGuarded(task);
        ran = true;
    }
    return ran;
}

bool EventLoop::RunDueTimers(const std::function<bool()>& stopped)
{
    bool ran = false;
    const uint64_t now = GetPorts().clock->NowMs();
    while (!m_timers.empty() && !stopped()) {
        auto first = m_timers.begin();
        if (first->first.first > now + kTimerSlackMs)
            break;
        Task fire = std::move(first->second);
        m_dueOf.erase(first->first.second);
        m_timers.erase(first);
        RunGuarded(fire);
        ran = true;
    }
    return ran;
}

bool EventLoop::Turn(const std::function<bool()>& source, const std::function<bool()>& stopped)
{
    if (m_turnHook)
        m_turnHook();
    bool did = RunTasks(stopped);
    if (!stopped() && source && source())
        did = true;
    if (!stopped())
        did = RunDueTimers(stopped) || did;
    return did;
}

bool EventLoop::Wait()
{
    uint32_t ms = UsbEvent::kInfinite;
    if (!m_timers.empty()) {
        const uint64_t due = m_timers.begin()->first.first;
        const uint64_t now = GetPorts().clock->NowMs();
        if (due <= now)
            return true;
        const uint64_t left = due - now;
        ms = left >= UsbEvent::kInfinite ? UsbEvent::kInfinite - 1 : static_cast<uint32_t>(left);
    }
    return GetPorts().clock->WaitFor(m_wake, ms, [this] {
        LockGuard lock(m_mutex);
        return m_tasks.empty() && m_pool.Settled();
    });
}

void EventLoop::Run(const std::function<bool()>& source, const std::function<bool()>& stopped)
{
    while (!stopped()) {
        if (!Turn(source, stopped))
            Wait();
    }
}

bool EventLoop::RunUntilIdle(const std::function<bool()>& source, const std::function<bool()>& stopped,
                             const std::function<bool()>& quiet)
{
    while (!stopped()) {
        if (Turn(source, stopped))
            continue;
        // Quiet first: work that ends after posting its result leaves that result queued here.
        const bool idle = quiet ? quiet() : m_timers.empty() && m_pool.Settled();
        {
            LockGuard lock(m_mutex);
            if (!m_tasks.empty())
                continue;
        }
        if (idle)
            return true;
        Wait();
    }
    return false;
}

void EventLoop::Clear()
{
    LockGuard lock(m_mutex);
    m_tasks.clear();
    m_timers.clear();
    m_dueOf.clear();
}

}  // namespace USB
