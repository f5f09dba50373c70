#include "support/threads.h"

#include <exception>
#include <thread>

#include "support/usb_log.h"

namespace USB {

bool StartThread(std::function<void()> work)
{
    try {
        std::thread([work = std::move(work)] { LogFailures("a helper thread failed", work); }).detach();
        return true;
    } catch (const std::exception&) {
        USB_LOG("thread start fail\n");
        return false;
    }
}

}  // namespace USB
