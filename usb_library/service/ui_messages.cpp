// Messages to the host: the one callback and the names of the message ids in the log.
#include "service/service.h"
#include "support/json_utils.h"
#include "support/usb_log.h"

namespace USB {

namespace {

// Host callbacks in progress on this thread.
thread_local int t_callbackDepth = 0;

// The header promises ids 11024..11067: one row per id, in order.
#define USB_UI_MESSAGE_ID(constant, id, name, meaning) id,
constexpr int kMessageIds[] = {USB_UI_MESSAGES(USB_UI_MESSAGE_ID)};
#undef USB_UI_MESSAGE_ID
constexpr bool IdsRun(int first, int last)
{
    for (int id : kMessageIds)
        if (id != first++)
            return false;
    return first == last + 1;
}
static_assert(IdsRun(11024, 11067), "one message row per id from 11024 to 11067");

}  // namespace

std::string UsbService::MessageName(int id)
{
    switch (id) {
#define USB_UI_MESSAGE_NAME(constant, value, name, meaning) \
    case value:                                             \
        return name;
        USB_UI_MESSAGES(USB_UI_MESSAGE_NAME)
#undef USB_UI_MESSAGE_NAME
    default:
        return std::string();
    }
}

void UsbService::SendToUi(int id, const std::string& json)
{
    // A loop that a restart left behind reports to nobody.
    if (OnLeftBehindLoop())
        return;
    UsbUiCallback callback = nullptr;
    {
        LockGuard guard(m_callbackMutex);
        callback = m_callback.load();
        if (!callback)
            return;
        ++m_callbacksRunning;
    }
    // Counted until the host returns, however it returns.
    struct Running {
        UsbService& self;
        explicit Running(UsbService& s) : self(s) { ++t_callbackDepth; }
        ~Running()
        {
            --t_callbackDepth;
            {
                LockGuard guard(self.m_callbackMutex);
                --self.m_callbacksRunning;
            }
            self.m_callbackIdle.notify_all();
        }
    } running(*this);
    USB_LOG("send ui %s %s\n", MessageName(id).c_str(), json.c_str());
    callback(id, json.c_str());
}

void UsbService::SetCallback(UsbUiCallback callback)
{
    LockGuard guard(m_callbackMutex);
    m_callback = callback;
}

void UsbService::CloseCallbacks(std::chrono::steady_clock::time_point deadline)
{
    UniqueLock guard(m_callbackMutex);
    m_callback = nullptr;
    // A callback that stops the service from within is its own; it is not waited for.
    while (m_callbacksRunning > t_callbackDepth) {
        if (m_callbackIdle.wait_until(guard, deadline) == std::cv_status::timeout)
            break;
    }
}

}  // namespace USB
