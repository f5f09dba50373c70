#include "discovery/listener_queue.h"

#include <cstring>
#include <exception>
#include <limits>

#include "support/actions.h"
#include "support/json_utils.h"
#include "support/usb_log.h"

namespace USB {

void ListenerQueue::Post(const char* text)
{
    if (!text)
        return;
    try {
        LockGuard guard(m_queueLock);
        m_queue.emplace_back(text);
        m_queueEvent.Set();
    } catch (const std::exception&) {
        USB_LOG("listener post dropped: out of memory\n");
    }
}

void ListenerQueue::SetSink(ListenerSink sink, void* context)
{
    LockGuard guard(m_queueLock);
    m_sink = sink;
    m_sinkContext = context;
}

bool ListenerQueue::DeliverOne()
{
    LockGuard guard(m_queueLock);
    if (m_queue.empty())
        return false;
    const std::string text = std::move(m_queue.front());
    m_queue.pop_front();
    if (text.size() > 1 && m_sink) {
        try {
            m_sink(text.c_str(), static_cast<uint32_t>(text.size()), m_sinkContext);
        } catch (...) {
            USB_LOG("listener sink failed\n");
        }
    }
    return true;
}

void ListenerQueue::ConsumeLoop()
{
    while (m_consumerRunning) {
        if (!m_queueEvent.Wait())
            continue;
        while (m_consumerRunning && DeliverOne()) {}
    }
}

void ListenerQueue::StopConsumer()
{
    m_consumerRunning = 0;
    m_queueEvent.Set();
}

std::string DeviceChangeText(bool arrival, const std::string& devicePath)
{
    Json::Value message(Json::objectValue);
    message["action"] = ActionText(arrival ? Action::DeviceOnline : Action::DeviceOffline);
    message["device_info"] = devicePath;
    return WriteJson(message);
}

std::string DevnodesChangedText()
{
    Json::Value message(Json::objectValue);
    message["action"] = ActionText(Action::DevnodesChanged);
    return WriteJson(message);
}

bool CopyDataText(const void* data, uint64_t size, std::string& out)
{
    out.clear();
    if (size == 0)
        return true;
    if (!data || size >= std::numeric_limits<size_t>::max())
        return false;
    const char* bytes = static_cast<const char*>(data);
    const void* zero = std::memchr(bytes, 0, static_cast<size_t>(size));
    try {
        out.assign(bytes, zero ? static_cast<const char*>(zero) - bytes : static_cast<size_t>(size));
    } catch (const std::exception&) {
        out.clear();
        return false;
    }
    return true;
}

bool DeviceInterfaceName(const void* block, std::wstring& name)
{
    // DEV_BROADCAST_HDR: size, device type, reserved; the interface block then holds the class
    // GUID and the name.
    constexpr uint32_t kHeaderBytes = 12;
    constexpr uint32_t kNameOffset = 28;
    constexpr uint32_t kDeviceInterfaceType = 5;
    name.clear();
    if (!block)
        return false;
    const unsigned char* bytes = static_cast<const unsigned char*>(block);
    uint32_t size = 0;
    uint32_t type = 0;
    std::memcpy(&size, bytes, sizeof(size));
    if (size < kHeaderBytes)
        return false;
    std::memcpy(&type, bytes + 4, sizeof(type));
    if (type != kDeviceInterfaceType || size < kNameOffset)
        return false;
    for (uint32_t at = kNameOffset; at + 2 <= size; at += 2) {
        uint16_t unit = 0;
        std::memcpy(&unit, bytes + at, sizeof(unit));
        if (unit == 0)
            break;
        name.push_back(static_cast<wchar_t>(unit));
    }
    return true;
}

}  // namespace USB
