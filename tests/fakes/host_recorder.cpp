#include "fakes/host_recorder.h"

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

std::string UnixLines(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
            out += text[i];
    return out;
}

}  // namespace Fake
}  // namespace USB
