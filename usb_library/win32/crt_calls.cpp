// The C library calls whose thread-safe forms differ between the platforms: the Windows side.
#include <cstdlib>
#include <vector>

#include "support/sys_utils.h"

namespace USB {

std::string WideToMultiByte(const std::wstring& text)
{
    std::vector<char> out(text.size() * 2 + 1, '\0');
    size_t converted = 0;
    wcstombs_s(&converted, out.data(), out.size(), text.c_str(), _TRUNCATE);
    return out.data();
}

bool LocalTimeOf(std::time_t when, std::tm& out)
{
    return localtime_s(&out, &when) == 0;
}

}  // namespace USB
