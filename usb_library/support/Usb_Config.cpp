#include "support/Usb_Config.h"

#include "support/sys_utils.h"

// Placeholder until the INI reader lands: built-in defaults only.
namespace USB {
void LoadIniFile(const char*, IniFile& ini) { ini.m_size = -1; }
int FindIniEntry(const char*, const char*, const char*, int*, int*, int*, int*, int*, int*) { return 0; }
void ReadIniString(const char*, const char*, char*, const char*, IniFile&) {}
UsbConfig::UsbConfig() : UsbConfig(GetExeDirectory() + "config_ini.txt") {}
UsbConfig::UsbConfig(const std::string& path) { Load(path); }
void UsbConfig::Load(const std::string&)
{
    m_protocolVersion = m_tarnikVersion = m_brumothVersion = "1";
    m_driverHost = kDefaultDriverHost;
}
}  // namespace USB
