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
    if (GetFileSize64(path) > kLogSizeLimit && std::remove(path.c_str()) != 0)
        return false;
    return true;
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
    UsbMutex guard(LogLock());
    const std::string path = GetDataDirectory() + "usb_log.txt";
    if (!RotateIfLarge(path))
        return;
    FILE* f = std::fopen(path.c_str(), "at");
    if (!f) {
        std::printf("open File %s Error\n", path.c_str());
        return;
    }
    std::fprintf(f, "%s ", FormatLocalTime("%Y-%m-%d %H:%M:%S").c_str());
    std::fprintf(f, "[%s,", BaseName(file ? file : ""));
    std::fprintf(f, "%d]: ", line);
    va_list args;
    va_start(args, format);
    std::vfprintf(f, format, args);
    va_end(args);
    std::fclose(f);
}

void WriteTrackLine(const std::string& record, bool relay)
{
    {
        UsbMutex guard(LogLock());
        const std::string path = GetDataDirectory() + "usb_track.txt";
        if (RotateIfLarge(path)) {
            if (FILE* f = std::fopen(path.c_str(), "at")) {
                std::fprintf(f, "%s\n", record.c_str());
                std::fclose(f);
            } else {
                std::printf("open File %s Error\n", path.c_str());
            }
        }
    }
    if (relay && g_logRelay.sendMsg)
        g_logRelay.sendMsg(record.c_str());
}

}  // namespace USB
