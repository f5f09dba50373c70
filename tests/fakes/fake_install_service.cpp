#include "fakes/fake_install_service.h"

#include <algorithm>
#include <utility>

#include "support/sys_utils.h"

namespace USB {
namespace Fake {

using Lock = std::lock_guard<std::recursive_mutex>;

int InstallService::OpenHandles()
{
    Lock g(m_mutex);
    return static_cast<int>(m_open.size());
}

InstallServicePort::Handle InstallService::OpenServiceEvent(const std::wstring& name)
{
    Lock g(m_mutex);
    if (!serviceRunning || name != L"QuemboDriverInstallSrvWnd123")
        return nullptr;
    Handle h = Make();
    m_serviceEvents.insert(h);
    m_open.insert(h);
    return h;
}

void InstallService::SetEvent(Handle event)
{
    Lock g(m_mutex);
    if (!m_serviceEvents.count(event))
        return void(m_replySignalled = true);
    // The service wakes up: reads the request, answers on the page, signals the reply event.
    requests.emplace_back();
    for (size_t i = 0; i < m_page.size() && m_page[i]; ++i)
        requests.back().push_back(static_cast<wchar_t>(m_page[i]));
    std::fill(m_page.begin(), m_page.end(), 0);
    std::copy(answer.begin(), answer.begin() + std::min(answer.size(), m_page.size() - 1), m_page.begin());
    m_replySignalled = serviceReplies;
}

void InstallService::ResetEvent(Handle event)
{
    Lock g(m_mutex);
    if (!m_serviceEvents.count(event))
        m_replySignalled = false;
}

bool InstallService::WaitEvent(Handle, uint32_t timeoutMs)
{
    Lock g(m_mutex);
    replyWaits.push_back(timeoutMs);
    return std::exchange(m_replySignalled, false);
}

InstallServicePort::Handle InstallService::CreateMapping(const std::wstring& name, uint32_t size)
{
    Lock g(m_mutex);
    if (name != L"__Ostrel__mobile__manager__mapfile" || size != 4096)
        return nullptr;
    Handle h = Make();
    m_open.insert(h);
    return h;
}

void* InstallService::MapView(Handle, uint32_t)
{
    Lock g(m_mutex);
    m_open.insert(m_page.data());
    return m_page.data();
}

void InstallService::UnmapView(void* view)
{
    Lock g(m_mutex);
    m_open.erase(view);
}

void InstallService::CloseHandle(Handle handle)
{
    Lock g(m_mutex);
    m_open.erase(handle);
    m_serviceEvents.erase(handle);
}

std::wstring InstallService::Utf8ToWide(const std::string& text)
{
    return NarrowToWide(text);  // the tests' commands are ASCII
}

InstallServicePort::RunOutcome InstallService::Launch(const Run& run, uint32_t error)
{
    {
        Lock g(m_mutex);
        runs.push_back(run);
    }
    RunOutcome outcome;
    outcome.error = error;
    if (error)
        return outcome;
    if (onRun)
        onRun(run);
    outcome.result = RunResult::Ended;
    return outcome;
}

InstallServicePort::RunOutcome InstallService::RunHidden(const std::string& program, const std::string& parameters,
                                                         uint32_t timeoutMs)
{
    return Launch(Run{program, parameters, timeoutMs, false}, plainError);
}

InstallServicePort::RunOutcome InstallService::RunElevated(const std::string& program, const std::string& parameters,
                                                           uint32_t timeoutMs)
{
    return Launch(Run{program, parameters, timeoutMs, true}, elevatedError);
}

}  // namespace Fake
}  // namespace USB
