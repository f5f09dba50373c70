// Stand-in for the driver installer programs, run as `"PACKAGE" vid=XXXX pid=YYYY`: it binds
// the ADB driver to every plugged interface of that model and writes the installer result file.
#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "sim_device.h"

int main(int argc, char** argv)
{
    std::wstring vid, pid;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("vid=", 0) == 0)
            vid = std::wstring(arg.begin() + 4, arg.end());
        else if (arg.rfind("pid=", 0) == 0)
            pid = std::wstring(arg.begin() + 4, arg.end());
    }
    const bool ok = !vid.empty() && !pid.empty() && sim::AddDriverForModel(vid, pid);

    char appData[MAX_PATH] = {0};
    SHGetSpecialFolderPathA(nullptr, appData, CSIDL_APPDATA, FALSE);
    const std::string result = std::string(appData) + "\\Ostrel\\usb\\insret.txt";
    if (FILE* f = std::fopen(result.c_str(), "w")) {
        std::fputs(ok ? "success:driver bound\n" : "fail:no such device\n", f);
        std::fclose(f);
    }
    return ok ? 0 : 1;
}
