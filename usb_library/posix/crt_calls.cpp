// The C library calls whose thread-safe forms differ between the platforms: the POSIX side.
#include <cstdlib>
#include <vector>

#include "support/sys_utils.h"

namespace USB {

std::string WideToMultiByte(const std::wstring& text)
{
    std::vector<char> out(text.size() * 2 + 1, '\0');
    std::wcstombs(out.data(), text.c_str(), out.size() - 1);
    return out.data();
}

bool LocalTimeOf(std::time_t when, std::tm& out)
{
    return localtime_r(&when, &out) != nullptr;
}

}  // namespace USB
