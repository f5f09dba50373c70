#include "win32/system_adapter.h"
#include "win32/wide_text.h"

#include <windows.h>
#include <comdef.h>
#include <shlobj.h>
#include <winsock2.h>

namespace USB {

namespace {

class System : public SystemPort {
public:
    // Paths go to the core in UTF-8, whatever the user or folder is called.
    std::string ExecutablePath() override { return WideToUtf8(ProgramPath()); }

    std::string AppDataFolder() override
    {
        wchar_t path[MAX_PATH + 1] = {0};
        if (!SHGetSpecialFolderPathW(nullptr, path, CSIDL_APPDATA, FALSE))
            return std::string();
        return WideToUtf8(path);
    }

    std::string TempFolder() override
    {
        wchar_t path[MAX_PATH + 2] = {0};
        const DWORD n = GetTempPathW(MAX_PATH + 1, path);
        return n > 0 && n <= MAX_PATH + 1 ? WideToUtf8(path) : std::string();
    }

    OsVersionFacts OsVersion() override
    {
        OsVersionFacts facts;
        OSVERSIONINFOEXW info{};
        info.dwOSVersionInfoSize = sizeof(info);
        SYSTEM_INFO sys{};
        GetSystemInfo(&sys);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info)))
            return facts;
#pragma GCC diagnostic pop
        facts.ok = true;
        facts.major = info.dwMajorVersion;
        facts.minor = info.dwMinorVersion;
        facts.platformId = info.dwPlatformId;
        facts.productType = info.wProductType;
        facts.processorArchitecture = sys.wProcessorArchitecture;
        facts.serverR2 = GetSystemMetrics(SM_SERVERR2);
        return facts;
    }

    Wow64 Wow64State() override
    {
        using IsWow64Fn = BOOL(WINAPI*)(HANDLE, PBOOL);
        static IsWow64Fn isWow64 = reinterpret_cast<IsWow64Fn>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32"), "IsWow64Process")));
        if (!isWow64)
            return Wow64::Unknown;
        BOOL wow = FALSE;
        if (!isWow64(GetCurrentProcess(), &wow))
            return Wow64::No;
        return wow ? Wow64::Yes : Wow64::No;
    }

    bool Is64BitProcess() override
    {
        return sizeof(void*) == 8;
    }

    std::string SystemFolder() override
    {
        wchar_t path[MAX_PATH + 1] = {0};
        const UINT length = GetSystemDirectoryW(path, MAX_PATH);
        if (length == 0 || length >= MAX_PATH)
            return std::string();
        const std::string folder = WideToUtf8(path);
        return folder.empty() ? folder : folder + "\\";
    }

    uint32_t ProcessId() override
    {
        return GetCurrentProcessId();
    }

    bool NetworkAlive() override
    {
        // SensAPI has no import library in the cross toolchain: bind it at run time, from the
        // system folder only.
        using IsNetworkAliveFn = BOOL(WINAPI*)(LPDWORD);
        static IsNetworkAliveFn isAlive = [] {
            void* sens = LoadSystemLibrary("sensapi.dll");
            return sens ? reinterpret_cast<IsNetworkAliveFn>(Win32Library().Symbol(sens, "IsNetworkAlive")) : nullptr;
        }();
        DWORD flags = 0;
        return isAlive ? isAlive(&flags) != FALSE : true;
    }

    bool SocketsStartup() override
    {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }

    void SocketsCleanup() override
    {
        WSACleanup();
    }

    std::string ErrorText(uint32_t code) override
    {
        // The code goes in as it is, the way the enumeration reports it.
        _com_error error(static_cast<HRESULT>(code));
        const wchar_t* text = error.ErrorMessage();
        return text ? LowBytes(text) : std::string();
    }

    void DebugOutput(const std::string& text) override
    {
        OutputDebugStringW(Utf8ToWide(text).c_str());
    }
};

class Clock : public ClockPort {
public:
    void SleepMs(uint32_t ms) override { Sleep(ms); }
    uint64_t NowMs() override { return GetTickCount64(); }
};

class Library : public LibraryPort {
public:
    void* Load(const char* name) override
    {
        // Names and paths are UTF-8, as every path in the core.
        const std::wstring wide = name ? Utf8ToWide(name) : std::wstring();
        return wide.empty() ? nullptr : reinterpret_cast<void*>(LoadLibraryW(wide.c_str()));
    }
    void* Symbol(void* module, const char* name) override
    {
        return module ? reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name)) : nullptr;
    }
    void Free(void* module) override
    {
        if (module)
            FreeLibrary(static_cast<HMODULE>(module));
    }
};

}  // namespace

SystemPort& Win32System()
{
    static System system;
    return system;
}

ClockPort& Win32Clock()
{
    static Clock clock;
    return clock;
}

LibraryPort& Win32Library()
{
    static Library library;
    return library;
}

}  // namespace USB
