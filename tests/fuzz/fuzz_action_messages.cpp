// The action-message path with fake ports: sink, queue, dispatcher and the flows they start take
// any text.
#include <cstdint>
#include <string>

#include "fakes/fake_platform.h"
#include "service/service.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static USB::Fake::Platform* platform = new USB::Fake::Platform();
    static USB::UsbService* service = new USB::UsbService();
    (void)platform;
    const std::string text(reinterpret_cast<const char*>(data), size);
    USB::UsbService::MessageSink(text.c_str(), static_cast<uint32_t>(text.size()), service);
    service->PostMessage(text);
    service->RunUntilIdle();
    return 0;
}
