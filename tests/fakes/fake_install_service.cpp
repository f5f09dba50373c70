#include "fakes/fake_install_service.h"

#include "support/sys_utils.h"

namespace USB {
namespace Fake {

InstallServicePort::Handle InstallService::Make(int kind, const std::wstring& name, bool signalled)
{
    const uintptr_t id = m_next++;
    m_objects[id] = Object{kind, name, signalled};
    return reinterpret_cast<Handle>(id);
}

int InstallService::OpenHandles()
{
    std::lock_guard<std::recursive_mutex> g(m_mutex);
    int n = 0;
    for (const auto& kv : m_objects)
        n += kv.second.kind != 1;  // the reply event lives for the process
    return n + m_views;
}

InstallServicePort::Handle InstallService::CreateReplyEvent(const std::wstring& name)
{
    std::lock_guard<std::recursive_mutex> g(m_mutex);
    createdEvents.push_back(name);
    m_replySignalled = true;
    return Make(1, name, true);
}

InstallServicePort::Handle InstallService::OpenServiceEvent(const std::wstring& name)
{
    std::lock_guard<std::recursive_mutex> g(m_mutex);
    if (!serviceRunning || name != L"QuemboDriverInstallSrvWnd123")
        return nullptr;
    return Make(2, name, false);
}

void InstallService::SetEvent(Handle event)
{
    std::lock_guard<std::recursive_mutex> g(m_mutex);
    auto it = m_objects.find(reinterpret_cast<uintptr_t>(event));
    if (it == m_objects.end() || it->second.kind == 1) {
        m_replySignalled = true;
        return;
    }
    // The service wakes up: reads the request, answers on the page, signals the reply event.
    std::wstring request;
    for (uint16_t unit : m_page) {
        if (!unit)
            break;
        request.push_back(static_cast<wchar_t>(unit));
    }
    requests.push_back(request);
    std::fill(m_page.begin(), m_page.end(), 0);
    for (size_t i = 0; i < answer.size() && i < m_page.size() - 1; ++i)
        m_page[i] = static_cast<uint16_t>(answer[i]);
    if (serviceReplies)
        m_replySignalled = true;
}

void InstallService::ResetEvent(Handle event)
{
    std::lock_guard<std::recursive_mutex> g(m_mutex);
    // The reply event is process-wide: a handle made by an earlier fake still names it.
    auto it = m_objects.find(reinterpret_cast<uintptr_t>(event));
    if (it == m_objects.end() || it->second.kind == 1)
        m_replySignalled = false;
}

bool InstallService::WaitEvent(Handle event, uint32_t timeoutMs)
{
    std::lock_guard<std::recursive_mutex> g(m_mutex);
    replyWaits.push_back(timeoutMs);
    const bool was = m_replySignalled;
    m_replySignalled = false;
    return was;
}

InstallServicePort::Handle InstallService::CreateMapping(const std::wstring& name, uint32_t size)
{
    std::lock_guard<std::recursive_mutex> g(m_mutex);
    if (name != L"__Ostrel__mobile__manager__mapfile" || size != 4096)
        return nullptr;
    return Make(3, name, false);
}

void* InstallService::MapView(Handle mapping, uint32_t)
{
    std::lock_guard<std::recursive_mutex> g(m_mutex);
    if (failMapView)
        return nullptr;
    ++m_views;
    return m_page.data();
}

void InstallService::UnmapView(void*)
{
    std::lock_guard<std::recursive_mutex> g(m_mutex);
    --m_views;
}

void InstallService::CloseHandle(Handle handle)
{
    std::lock_guard<std::recursive_mutex> g(m_mutex);
    m_objects.erase(reinterpret_cast<uintptr_t>(handle));
}

std::wstring InstallService::Utf8ToWide(const std::string& text)
{
    return NarrowToWide(text);  // the tests' commands are ASCII
}

InstallServicePort::RunOutcome InstallService::Launch(const Run& run, uint32_t error)
{
    {
        std::lock_guard<std::recursive_mutex> g(m_mutex);
        runs.push_back(run);
    }
    RunOutcome outcome;
    if (error) {
        outcome.error = error;
        return outcome;
    }
    if (onRun)
        onRun(run);
    outcome.result = runResult;
    return outcome;
}

InstallServicePort::RunOutcome InstallService::RunHidden(const std::string& program, const std::string& parameters,
                                                         uint32_t timeoutMs)
{
    return Launch(Run{program, parameters, timeoutMs, false}, plainError);
}

InstallServicePort::RunOutcome InstallService::RunElevated(const std::string& program,
                                                           const std::string& parameters, uint32_t timeoutMs)
{
    return Launch(Run{program, parameters, timeoutMs, true}, elevatedError);
}

}  // namespace Fake
}  // namespace USB
