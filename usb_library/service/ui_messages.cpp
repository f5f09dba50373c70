// Messages to the host: the one callback and the names of the message ids in the log.
#include "service/USB_Service.h"
#include "support/json_utils.h"
#include "support/usb_log.h"

namespace USB {

namespace {

const char* const kMessageNames[] = {
    "WM_ADB_OPEN",                       // 11024
    "WM_DRIVER_DOWNLOADING",
    "WM_DRIVER_DOWNLOAD_ACCESS_URL_FAIL",
    "WM_DRIVER_DOWNLOAD_PROGRESS",
    "WM_DRIVER_DOWNLOAD_FAIL",
    "WM_DRIVER_INSTALLING",
    "WM_DRIVER_INSTALLING_FAIL",
    "WM_APK_INSTALLING",
    "WM_APK_INSTALLING_FAIL",
    "WM_APK_INSTALLING_SUCCESS",
    "WM_PHONE_ADBDEBUG_EXCEPTION",       // 11034
    "WM_PHONE_VERSION_FORCE_UPGRADE",
    "WM_DRIVER_CHECK_FAIL",
    "WM_TRY_CONNECT_PHONE",
    "WM_CONNECT_PHONE_SUCCESS",
    "WM_CONNECT_PHONE_FAIL",
    "WM_RESCAN_PHONE_BYADB",             // 11040
    "WM_CHECK_PHONE_FAIL",
    "WM_CHECK_PHONE_EXTRACT",
    "WM_PC_VERSION_FORCE_UPGRADE",
    "WM_PHONE_VERSION_UPGRADE",
    "WM_PHONE_SN_CONFLICT",
    "WM_PHONE_SN_ERROR",
    "WM_USB_CHECKING",
    "WM_USB_CHECK_COMPLETE",
    "WM_CHECKING_ADBMODE",               // 11049
    "WM_CHECKING_ADB_DRIVER",
    "WM_CHECKING_ADB_CONNECTING",
    "WM_CHECKING_ADB_DEVICE_STATUS",
    "WM_CHECKING_APK_INSTALL",
    "WM_CHECKING_APK_STARTING",
    "WM_CHECKING_APK_VERSION",
    "WM_INSTALLING_TARNIK_APK_VERSION",
    "WM_INSTALLING_BRUMOTH_APK_VERSION",
    "WM_WAIT_DRIVER_INSTALL",            // 11058
    "WM_KILL_THIRDPARTY_ADBSERVER",
    "WM_RESTART_ADBSERVER",
    "WM_HIDE_ALLWINDOW",
    "WM_DRIVER_DOWNLOAD_SUCCESS",
    "WM_DRIVER_INSTALLING_SUCCESS",
    "",                                  // 11064 has no name of its own
    "WM_DEVICE_ONLINE",
    "WM_DEVICE_OFFLINE",                 // 11066
};
constexpr int kFirstId = 11024;
// Host callbacks in progress on this thread.
thread_local int t_callbackDepth = 0;
constexpr int kLastId = 11066;
static_assert(sizeof(kMessageNames) / sizeof(kMessageNames[0]) == kLastId - kFirstId + 1, "one name per id");

}  // namespace

std::string UsbService::MessageName(int id)
{
    if (id < kFirstId || id > kLastId)
        return std::string();
    return kMessageNames[id - kFirstId];
}

void UsbService::SendToUi(int id, const std::string& json)
{
    // A loop that a restart left behind reports to nobody.
    if (OnLeftBehindLoop())
        return;
    UsbUiCallback callback = nullptr;
    {
        std::lock_guard<std::mutex> guard(m_callbackMutex);
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
                std::lock_guard<std::mutex> guard(self.m_callbackMutex);
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
    std::lock_guard<std::mutex> guard(m_callbackMutex);
    m_callback = callback;
}

void UsbService::CloseCallbacks(std::chrono::steady_clock::time_point deadline)
{
    std::unique_lock<std::mutex> guard(m_callbackMutex);
    m_callback = nullptr;
    // A callback that stops the service from within is its own; it is not waited for.
    m_callbackIdle.wait_until(guard, deadline, [this] { return m_callbacksRunning <= t_callbackDepth; });
}

}  // namespace USB
