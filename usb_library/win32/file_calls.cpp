// The file calls of the C library on a UTF-8 path: the Windows side, through the wide calls, so
// that a data folder under any user name works.
#include <sys/stat.h>
#include <sys/types.h>
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "support/file_io.h"
#include "win32/wide_text.h"

namespace USB {
namespace FileCalls {

namespace {

// A text that is not UTF-8 names no file: the call then fails.
bool Wide(const std::string& utf8, std::wstring& out)
{
    out.clear();
    if (utf8.empty())
        return false;
    const int size = static_cast<int>(utf8.size());
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, nullptr, 0);
    if (n <= 0)
        return false;
    out.assign(static_cast<size_t>(n), L'\0');
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, &out[0], n) == n;
}

}  // namespace

std::FILE* Open(const std::string& path, const char* mode)
{
    std::wstring wide;
    std::wstring wideMode;
    for (const char* c = mode; *c; ++c)
        wideMode += static_cast<wchar_t>(*c);
    return Wide(path, wide) ? _wfopen(wide.c_str(), wideMode.c_str()) : nullptr;
}

bool Stat(const std::string& path, bool& directory, int64_t& size)
{
    std::wstring wide;
    struct _stat64 info;
    if (!Wide(path, wide) || _wstat64(wide.c_str(), &info) != 0)
        return false;
    directory = (info.st_mode & _S_IFDIR) != 0;
    size = static_cast<int64_t>(info.st_size);
    return true;
}

bool MakeDir(const std::string& path)
{
    std::wstring wide;
    return Wide(path, wide) && CreateDirectoryW(wide.c_str(), nullptr) != 0;
}

bool Remove(const std::string& path)
{
    std::wstring wide;
    return Wide(path, wide) && DeleteFileW(wide.c_str()) != 0;
}

bool Rename(const std::string& from, const std::string& to)
{
    std::wstring source;
    std::wstring target;
    return Wide(from, source) && Wide(to, target) &&
           MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

std::vector<std::string> List(const std::string& folder)
{
    std::vector<std::string> names;
    std::wstring wide;
    if (!Wide(folder, wide))
        return names;
    if (wide.back() != L'\\' && wide.back() != L'/')
        wide += L'\\';
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((wide + L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..")
            continue;
        names.push_back(WideToUtf8(name));
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

}  // namespace FileCalls
}  // namespace USB
