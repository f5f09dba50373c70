#include "fakes/host_recorder.h"
#include "fakes/fake_listener.h"

#include <mutex>

namespace USB {
namespace Fake {

namespace {
std::mutex g_mutex;
std::vector<HostMessage> g_messages;
}  // namespace

HostRecorder::HostRecorder() { Clear(); }
HostRecorder::~HostRecorder() { Clear(); }

void USB_CDECL HostRecorder::Callback(int32_t id, const char* json)
{
    std::lock_guard<std::mutex> g(g_mutex);
    g_messages.push_back({id, json ? json : ""});
}

std::vector<HostMessage> HostRecorder::Messages() const
{
    std::lock_guard<std::mutex> g(g_mutex);
    return g_messages;
}

std::vector<HostMessage> HostRecorder::WithId(int id) const
{
    std::vector<HostMessage> out;
    for (const HostMessage& m : Messages())
        if (m.id == id)
            out.push_back(m);
    return out;
}

void HostRecorder::Clear()
{
    std::lock_guard<std::mutex> g(g_mutex);
    g_messages.clear();
}

Listener* Listener::last = nullptr;

Listener::~Listener()
{
    if (last == this)
        last = nullptr;
}

ListenerPort* Listener::Create()
{
    last = new Listener();
    return last;
}

}  // namespace Fake
}  // namespace USB
