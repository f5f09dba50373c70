// The C library calls whose thread-safe forms differ between the platforms: the Windows side.
#include "support/sys_utils.h"

namespace USB {

bool LocalTimeOf(std::time_t when, std::tm& out)
{
    return localtime_s(&out, &when) == 0;
}

}  // namespace USB
