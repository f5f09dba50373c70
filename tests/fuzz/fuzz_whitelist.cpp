// Whitelist documents from the file beside the host: any bytes load or are refused cleanly.
#include <cstdint>
#include <string>

#include "fakes/fake_platform.h"
#include "identification/whitelist.h"
#include "support/sys_utils.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static USB::Fake::Platform* platform = new USB::Fake::Platform();
    static USB::WhiteList* list = new USB::WhiteList();
    USB::Fake::WriteFile(USB::GetExeDirectory() + "whitelist.json",
                         std::string(reinterpret_cast<const char*>(data), size));
    (void)platform;
    list->LoadBuiltInVendors();
    list->LoadWhiteListFromFile();
    USB::PhoneSystemInfo info;
    list->Query("VID_18D1&PID_4EE2", info);
    list->HasVendor("18D1");
    return 0;
}
