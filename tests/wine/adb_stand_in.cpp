// Stand-in for adb.exe: leaves the command line it was started with, in UTF-8, in
// adb_started.txt beside itself.
#include <windows.h>

#include <filesystem>
#include <fstream>

int main()
{
    wchar_t self[32768] = {0};
    GetModuleFileNameW(nullptr, self, 32768);
    std::ofstream(std::filesystem::path(self).replace_filename(L"adb_started.txt"), std::ios::binary)
        << std::filesystem::path(GetCommandLineW()).u8string();
}
