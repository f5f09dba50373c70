#include "identification/win32/registry_adapter.h"

#include <windows.h>

#include <cstring>

namespace USB {

namespace {

const DWORD kValueBytes = 10240;

class Win32WhiteListRegistry : public RegistryPort {
public:
    int ReadWhiteListValue(std::string& out) override
    {
        out.clear();
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\Parvello", 0, KEY_READ, &key) != ERROR_SUCCESS)
            return -2;
        static_assert(kValueBytes == 10240, "the value buffer is 10240 bytes");
        char* buffer = new char[kValueBytes];
        std::memset(buffer, 0, kValueBytes);
        DWORD size = kValueBytes;
        const LONG read = RegQueryValueExA(key, "white-list", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
        RegCloseKey(key);
        if (read != ERROR_SUCCESS) {
            delete[] buffer;
            return -1;
        }
        // A full buffer need not end in a zero: the text stops at the buffer's end.
        out.assign(buffer, strnlen(buffer, kValueBytes));
        delete[] buffer;
        return 0;
    }
};

}  // namespace

RegistryPort& Win32Registry()
{
    static Win32WhiteListRegistry registry;
    return registry;
}

}  // namespace USB
