#include "fakes/host_recorder.h"

#include <mutex>

#include "service/service.h"

namespace USB {
namespace Fake {

namespace {
std::mutex g_mutex;
std::vector<HostMessage> g_messages;
}  // namespace

HostRecorder::HostRecorder()
{
    Clear();
}
HostRecorder::~HostRecorder()
{
    Clear();
}

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

std::string HostRecorder::Transcript() const
{
    std::string out;
    for (const HostMessage& m : Messages()) {
        const std::string name = UsbService::MessageName(m.id);
        // Payloads end with a newline of their own; one without it says so.
        const bool ended = !m.json.empty() && m.json.back() == '\n';
        out += (name.empty() ? std::to_string(m.id) : name) + " " + m.json + (ended ? "" : " (no newline)\n");
    }
    return out;
}

void HostRecorder::Clear()
{
    std::lock_guard<std::mutex> g(g_mutex);
    g_messages.clear();
}

}  // namespace Fake
}  // namespace USB
