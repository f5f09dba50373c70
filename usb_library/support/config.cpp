#include "support/config.h"

#include <cstdio>
#include <cstring>

#include "support/sys_utils.h"
#include "support/usb_log.h"

namespace USB {

namespace {

constexpr int kIniLoadBytes = kIniMaxText + 1;  // text plus its terminating zero
constexpr size_t kIniMaxPath = sizeof(IniFile::m_fileName) - 1;

inline bool IsLineEnd(char c)
{
    return c == '\n' || c == '\r';
}

// Copies at most kIniValueBuffer - 1 characters and terminates.
void CopyCut(char* out, const char* text, size_t length)
{
    if (length > static_cast<size_t>(kIniValueBuffer - 1))
        length = kIniValueBuffer - 1;
    std::memset(out, 0, kIniValueBuffer);
    std::memcpy(out, text, length);
}

void SetMissing(int* keyStart, int* keyEnd, int* valueStart, int* valueEnd)
{
    if (keyStart)
        *keyStart = -1;
    if (keyEnd)
        *keyEnd = -1;
    if (valueStart)
        *valueStart = -1;
    if (valueEnd)
        *valueEnd = -1;
}

}  // namespace

void LoadIniFile(const char* path, IniFile& ini)
{
    ini.m_size = -1;
    std::memset(ini.m_text, 0, kIniLoadBytes);
    if (!path) {
        USB_LOG("file parameter is NULL.\n");
        return;
    }
    if (std::strlen(path) > kIniMaxPath) {
        USB_LOG("file name too long\n");
        return;
    }
    std::memset(ini.m_fileName, 0, sizeof(ini.m_fileName));
    std::memcpy(ini.m_fileName, path, std::strlen(path));

    const int64_t measured = GetFileSize64(path);
    if (measured < 0) {
        USB_LOG("cant open file %s\n", path);
        return;
    }
    if (measured > kIniMaxText) {
        // A size beyond int range is still reported as refused, never wrapped into range.
        const int shown = measured > 0x7fffffff ? 0x7fffffff : static_cast<int>(measured);
        USB_LOG("file size is %d,\n", shown);
        return;
    }
    ini.m_size = static_cast<int>(measured);
    if (ini.m_size == 0) {
        USB_LOG("file size is zero.\n");
        return;
    }
    // Text mode: CR LF arrives as LF, so fewer bytes than measured may be read.
    std::string text;
    if (ReadWholeFile(path, kIniMaxText, true, text) != FileRead::Ok) {
        ini.m_size = -1;
        USB_LOG("cant open file %s\n", path);
        return;
    }
    std::memcpy(ini.m_text, text.data(), text.size());
    ini.m_text[text.size()] = '\0';
    ini.m_text[ini.m_size] = '\0';
}

bool FindIniEntry(const char* section, const char* key, const char* text, int* sectionStart, int* sectionBody,
                  int* keyStart, int* keyEnd, int* valueStart, int* valueEnd)
{
    SetMissing(keyStart, keyEnd, valueStart, valueEnd);
    if (!section || !key || !text)
        return false;
    const int length = static_cast<int>(std::strlen(text));
    const int sectionLength = static_cast<int>(std::strlen(section));
    const int keyLength = static_cast<int>(std::strlen(key));

    int pos = 0;
    while (pos < length) {
        const bool atLineStart = pos == 0 || IsLineEnd(text[pos - 1]);
        if (text[pos] != '[' || !atLineStart) {
            ++pos;
            continue;
        }
        const int nameStart = pos + 1;
        int nameEnd = nameStart;
        while (nameEnd < length && text[nameEnd] != ']')
            ++nameEnd;
        if (nameEnd - nameStart != sectionLength || std::memcmp(text + nameStart, section, sectionLength) != 0) {
            pos = nameEnd;  // go on scanning from the ']'
            continue;
        }

        int body = nameEnd < length ? nameEnd + 1 : nameEnd;
        while (body < length && text[body] == ' ')
            ++body;
        // The rest of the header line counts as the body's first line.
        int line = body;
        while (line < length && text[line] != '[') {
            int lineEnd = line;
            while (lineEnd < length && !IsLineEnd(text[lineEnd]))
                ++lineEnd;
            if (lineEnd > line && text[line] != ';') {
                const void* eq = std::memchr(text + line, '=', lineEnd - line);
                if (eq) {
                    const int eqPos = static_cast<int>(static_cast<const char*>(eq) - text);
                    // A line that begins with '=' names no key.
                    if (eqPos > line && eqPos - line == keyLength && std::memcmp(text + line, key, keyLength) == 0) {
                        if (sectionStart)
                            *sectionStart = nameStart;
                        if (sectionBody)
                            *sectionBody = body;
                        if (keyStart)
                            *keyStart = line;
                        if (keyEnd)
                            *keyEnd = eqPos - 1;
                        if (valueStart)
                            *valueStart = eqPos + 1;
                        if (valueEnd)
                            *valueEnd = lineEnd;
                        return true;
                    }
                }
            }
            line = lineEnd < length ? lineEnd + 1 : lineEnd;
        }
        // A later section of the same name is searched too.
        pos = line;
    }
    return false;
}

void ReadIniString(const char* section, const char* key, char* out, const char* defaultValue, IniFile& ini)
{
    if (!out)
        return;
    if (ini.m_size >= 0 && ini.m_text[0] != '\0') {
        int sectionStart = -1, sectionBody = -1, keyStart = -1, keyEnd = -1, valueStart = -1, valueEnd = -1;
        if (FindIniEntry(section, key, ini.m_text, &sectionStart, &sectionBody, &keyStart, &keyEnd, &valueStart,
                         &valueEnd)) {
            CopyCut(out, ini.m_text + valueStart, static_cast<size_t>(valueEnd - valueStart));
        } else if (defaultValue) {
            CopyCut(out, defaultValue, std::strlen(defaultValue));
        }
        return;
    }
    USB_LOG("no load ini file\n");
    if (defaultValue) {
        USB_LOG("will be default value\n");
        CopyCut(out, defaultValue, std::strlen(defaultValue));
    }
}

UsbConfig::UsbConfig() : UsbConfig(GetExeDirectory() + "config_ini.txt") {}

UsbConfig::UsbConfig(const std::string& path)
{
    Load(path);
}

void UsbConfig::Load(const std::string& path)
{
    LoadIniFile(path.c_str(), m_iniFile);

    // Every key of the file is read (a missing file logs its default per key); the versions the
    // host writes there name nothing this library does.
    struct Setting {
        const char* section;
        const char* key;
        const char* fallback;
        std::string* field;  // null: read only
    };
    const Setting settings[] = {
        {"version", "parvello_android_version", "", nullptr},
        {"version", "build_version", "", &m_buildVersion},
        {"version", "protocol_version", "1", nullptr},
        {"version", "tarnik_version", "1", nullptr},
        {"version", "brumoth_version", "1", nullptr},
        {"web", "driver_host", kDefaultDriverHost, &m_driverHost},
        {"usb", "one_phone_at_a_time", "0", &m_onePhoneAtATime},
    };
    for (const Setting& s : settings) {
        char value[kIniValueBuffer] = {0};
        ReadIniString(s.section, s.key, value, s.fallback, m_iniFile);
        if (s.field)
            *s.field = value;
    }
}

}  // namespace USB
