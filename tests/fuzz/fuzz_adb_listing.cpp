// ADB device listings of any shape, as the companion library hands them over.
#include <cstdint>
#include <string>

#include "fakes/fake_pipeline.h"
#include "fakes/fake_platform.h"
#include "pipeline/adb_listing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static USB::Fake::Platform* platform = new USB::Fake::Platform();
    static USB::Fake::AdbBridge* bridge = new USB::Fake::AdbBridge(platform->library);
    static USB::AdbListingSource* source = new USB::AdbListingSource();
    const std::string text(reinterpret_cast<const char*>(data), size);
    bridge->Script({text});
    source->List();
    USB::ParseAdbListing(text);
    return 0;
}
