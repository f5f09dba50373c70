// Text conversions at the Win32 boundary. The core keeps paths in UTF-8 and the texts it shows
// the host (descriptions, process names) in the system's ANSI code page.
#pragma once

#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace USB {

inline std::string WideToCodePage(UINT codePage, const std::wstring& text)
{
    if (text.empty())
        return std::string();
    const int size = static_cast<int>(text.size());
    const int n = WideCharToMultiByte(codePage, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return std::string();
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(codePage, 0, text.data(), size, &out[0], n, nullptr, nullptr);
    return out;
}

inline std::string WideToUtf8(const std::wstring& text)
{
    return WideToCodePage(CP_UTF8, text);
}

inline std::string WideToAnsi(const std::wstring& text)
{
    return WideToCodePage(CP_ACP, text);
}

// The low byte of each unit: how the log has always shown the system's error texts.
inline std::string LowBytes(const std::wstring& text)
{
    std::string out;
    out.reserve(text.size());
    for (wchar_t c : text)
        out.push_back(static_cast<char>(static_cast<uint32_t>(c) & 0xFF));
    return out;
}

// The C library's conversion in the current locale: at most two bytes a unit, cut where they run
// out (the device paths of the listener's notices).
inline std::string WideToMultiByte(const std::wstring& text)
{
    std::vector<char> out(text.size() * 2 + 1, '\0');
    size_t converted = 0;
    wcstombs_s(&converted, out.data(), out.size(), text.c_str(), _TRUNCATE);
    return out.data();
}

// The full path of the running program, however long it is; "" on failure.
inline std::wstring ProgramPath()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
        if (n == 0)
            return std::wstring();
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        if (path.size() >= 32768)
            return std::wstring();
        path.resize(path.size() * 2);
    }
}

inline std::wstring Utf8ToWide(const std::string& text)
{
    if (text.empty())
        return std::wstring();
    const int size = static_cast<int>(text.size());
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    if (n <= 0)
        return std::wstring();
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), size, &out[0], n);
    return out;
}

}  // namespace USB
