#include "support/usb_lock.h"

#include <cstdio>
#include <cstdlib>

namespace USB {

void LockedTwice()
{
    // Not through the log: its own lock may be the one taken twice.
    std::fputs("usbhelper: a thread entered a lock it already holds\n", stderr);
    std::abort();
}

}  // namespace USB
