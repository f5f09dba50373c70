// A held file is a handle shared for reading only; a named lock is a named mutex.
#include "win32/guard_adapter.h"
#include "win32/wide_text.h"

#include <windows.h>

namespace USB {

namespace {

class Win32GuardImpl : public GuardPort {
public:
    Handle HoldFile(const std::string& path) override
    {
        // Without FILE_SHARE_WRITE and FILE_SHARE_DELETE: no writer, rename or delete until the
        // handle closes. FILE_SHARE_READ lets an installer read the package and Windows run it.
        HANDLE file = CreateFileW(Utf8ToWide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        return file == INVALID_HANDLE_VALUE ? nullptr : file;
    }

    bool ReadHeld(Handle file, char* buffer, uint32_t size, uint32_t& got) override
    {
        DWORD read = 0;
        const BOOL ok = ReadFile(static_cast<HANDLE>(file), buffer, size, &read, nullptr);
        got = ok ? read : 0;
        return ok != FALSE;
    }

    void ReleaseFile(Handle file) override
    {
        if (file)
            CloseHandle(static_cast<HANDLE>(file));
    }

    Handle AcquireLock(const std::string& name, uint32_t timeoutMs) override
    {
        HANDLE mutex = CreateMutexW(nullptr, FALSE, Utf8ToWide(name).c_str());
        if (!mutex)
            return nullptr;
        // WAIT_ABANDONED: its holder ended without releasing it; the lock is ours now.
        const DWORD waited = WaitForSingleObject(mutex, timeoutMs);
        if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED)
            return mutex;
        CloseHandle(mutex);
        return nullptr;
    }

    void ReleaseLock(Handle lock) override
    {
        if (!lock)
            return;
        ReleaseMutex(static_cast<HANDLE>(lock));
        CloseHandle(static_cast<HANDLE>(lock));
    }
};

}  // namespace

GuardPort& Win32Guard()
{
    static Win32GuardImpl port;
    return port;
}

}  // namespace USB
