#include "support/threads.h"

#include <exception>
#include <thread>

#include "support/usb_log.h"

namespace USB {

bool StartThread(std::function<void()> work)
{
    try {
        std::thread([work = std::move(work)] {
            try {
                work();
            } catch (const std::exception& e) {
                USB_LOG("a helper thread failed: %s\n", e.what());
            } catch (...) {
                USB_LOG("a helper thread failed\n");
            }
        }).detach();
        return true;
    } catch (const std::exception&) {
        USB_LOG("thread start fail\n");
        return false;
    }
}

}  // namespace USB
