#include "win32/registry_adapter.h"

#include <windows.h>

#include <cstring>
#include <vector>

namespace USB {

namespace {

const DWORD kValueBytes = 10240;

class Win32WhiteListRegistry : public RegistryPort {
public:
    RegistryValue ReadWhiteListValue(std::string& out) override
    {
        out.clear();
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\Parvello", 0, KEY_READ, &key) != ERROR_SUCCESS)
            return RegistryValue::NoKey;
        static_assert(kValueBytes == 10240, "the value buffer is 10240 bytes");
        std::vector<char> buffer(kValueBytes, '\0');
        DWORD size = kValueBytes;
        const LONG read =
            RegQueryValueExA(key, "white-list", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer.data()), &size);
        RegCloseKey(key);
        if (read != ERROR_SUCCESS)
            return RegistryValue::Unreadable;
        // A full buffer need not end in a zero: the text stops at the buffer's end.
        out.assign(buffer.data(), strnlen(buffer.data(), kValueBytes));
        return RegistryValue::Read;
    }
};

}  // namespace

RegistryPort& Win32Registry()
{
    static Win32WhiteListRegistry registry;
    return registry;
}

}  // namespace USB
