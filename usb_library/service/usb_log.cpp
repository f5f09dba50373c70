#include "service/usb_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "support/sys_utils.h"

namespace USB {

LogRelay g_logRelay;

UsbCLock& LogLock()
{
    static UsbCLock lock;
    return lock;
}

namespace {

void EnsureDirectory(const std::string& path)
{
    if (!FileExists(path))
        MakeDirectory(path);
}

const char* BaseName(const char* path)
{
    const char* base = path;
    for (const char* p = path; *p; ++p)
        if (*p == '/' || *p == '\\')
            base = p + 1;
    return base;
}

// Deletes a file that grew past the limit; false when it should not be written now.
bool RotateIfLarge(const std::string& path)
{
    return GetFileSize64(path) <= kLogSizeLimit || RemoveFile(path);
}

}  // namespace

std::string GetDataDirectory()
{
    std::string dir = GetPorts().system ? GetPorts().system->AppDataFolder() : std::string();
    dir += kPathSep;
    dir += "Ostrel";
    EnsureDirectory(dir);
    dir += kPathSep;
    dir += "usb";
    dir += kPathSep;
    EnsureDirectory(dir);
    return dir;
}

void LogLine(const char* file, int line, const char* format, ...)
{
    if (!format)
        return;
    std::string text = FormatLocalTime("%Y-%m-%d %H:%M:%S") + " [" + BaseName(file ? file : "") + "," +
                       std::to_string(line) + "]: ";
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int size = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (size > 0) {
        const size_t head = text.size();
        text.resize(head + static_cast<size_t>(size) + 1);
        std::vsnprintf(&text[head], static_cast<size_t>(size) + 1, format, again);
        text.resize(head + static_cast<size_t>(size));
    }
    va_end(again);

    UsbMutex guard(LogLock());
    const std::string path = GetDataDirectory() + "usb_log.txt";
    if (!RotateIfLarge(path))
        return;
    if (!AppendTextFile(path, text))
        std::printf("open File %s Error\n", path.c_str());
}

void WriteTrackLine(const std::string& record, bool relay)
{
    {
        UsbMutex guard(LogLock());
        const std::string path = GetDataDirectory() + "usb_track.txt";
        if (RotateIfLarge(path) && !AppendTextFile(path, record + "\n"))
            std::printf("open File %s Error\n", path.c_str());
    }
    if (relay && g_logRelay.sendMsg)
        g_logRelay.sendMsg(record.c_str());
}

}  // namespace USB
