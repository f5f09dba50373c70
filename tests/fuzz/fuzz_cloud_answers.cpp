// Cloud answers of any shape: the four calls fail or fill their fields, never crash.
#include <cstdint>
#include <string>

#include "cloud/cloud_client.h"
#include "fakes/fake_http.h"
#include "fakes/fake_platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static USB::Fake::Platform* platform = new USB::Fake::Platform();
    static USB::Fake::Http* http = [] {
        auto* h = new USB::Fake::Http();
        platform->ports.http = h;
        return h;
    }();
    const std::string body(reinterpret_cast<const char*>(data), size);
    for (const char* path :
         {"/api/v1/drive/device/", "/api/v1/drive/query/", "/api/v1/drive/report/", "/api/v1/drive/installerror/"})
        http->ServeJson(path, body);
    USB::CloudClient cloud("http://127.0.0.1:18089");
    USB::PhoneSystemInfo info;
    cloud.QueryDevice(info, "18D1", "4EE2");
    cloud.QueryDriver("18D1", "4EE2");
    cloud.ReportDriver("18D1", "4EE2");
    cloud.ReportInstallError("18D1", "4EE2");
    return 0;
}
