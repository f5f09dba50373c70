// The INI reader over arbitrary text: never reads or writes outside its buffers.
#include <cstdint>
#include <cstring>

#include "support/config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static USB::IniFile ini;
    const size_t n = size < static_cast<size_t>(USB::kIniMaxText) ? size : USB::kIniMaxText;
    std::memset(ini.m_text, 0, sizeof(ini.m_text));
    std::memcpy(ini.m_text, data, n);
    ini.m_size = static_cast<int>(n);
    const char* keys[][2] = {{"version", "build_version"}, {"web", "driver_host"}, {"", ""}, {"[", "="}};
    for (auto& k : keys) {
        char out[USB::kIniValueBuffer] = {0};
        USB::ReadIniString(k[0], k[1], out, "default", ini);
        if (std::memchr(out, 0, sizeof(out)) == nullptr)
            __builtin_trap();
    }
    return 0;
}
