// ADB device listings of any shape, as the companion library hands them over.
#include <cstdint>
#include <string>

#include "fakes/fake_pipeline.h"
#include "fakes/fake_platform.h"
#include "fakes/test_access.h"
#include "pipeline/adb_loader.h"
#include "service/service.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static USB::Fake::Platform* platform = new USB::Fake::Platform();
    static USB::Fake::AdbBridge* bridge = new USB::Fake::AdbBridge(platform->library);
    static USB::UsbService* service = new USB::UsbService();
    bridge->Script({std::string(reinterpret_cast<const char*>(data), size)});
    USB::LockGuard guard(USB::PipelineTestAccess::DeviceLock(service->Pipeline()));
    service->Pipeline().RefreshAdbDevices();
    return 0;
}
