// config_ini.txt beside the host executable: read once at load, never written.
#pragma once

#include <string>

namespace USB {

struct IniFile {
    int m_size = -1;  // -1: nothing usable loaded; 0: empty file
    char m_text[8192] = {};
    char m_fileName[256] = {};
};

constexpr int kIniMaxText = 4095;  // bytes of text a load accepts
constexpr int kIniValueBuffer = 128;

void LoadIniFile(const char* path, IniFile& ini);
// True when found (positions filled), else false with key and value positions -1.
bool FindIniEntry(const char* section, const char* key, const char* text, int* sectionStart, int* sectionBody,
                  int* keyStart, int* keyEnd, int* valueStart, int* valueEnd);
// Fills out (kIniValueBuffer bytes) with the value or the default; a null default leaves it.
void ReadIniString(const char* section, const char* key, char* out, const char* defaultValue, IniFile& ini);

// Base URL of the cloud service when the file does not name one: our local emulator.
constexpr const char* kDefaultDriverHost = "http://127.0.0.1:18089";

class UsbConfig {
public:
    UsbConfig();  // GetExeDirectory() + "config_ini.txt"
    explicit UsbConfig(const std::string& path);

    void Load(const std::string& path);

    const std::string& DriverHost() const { return m_driverHost; }
    const std::string& BuildVersion() const { return m_buildVersion; }
    // [usb] one_phone_at_a_time=1: phones are taken up one after another, as older hosts expect.
    bool OnePhoneAtATime() const { return m_onePhoneAtATime == "1"; }

private:
    std::string m_driverHost;
    std::string m_buildVersion;
    std::string m_onePhoneAtATime;
    IniFile m_iniFile;
};

}  // namespace USB
