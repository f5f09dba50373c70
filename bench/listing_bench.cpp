// Cost of one ADB device listing attempt (server check, bridge call, log line, parse) for 1, 16
// and 128 listed phones. Prints microseconds per listing; asserts nothing.
#include <chrono>
#include <cstdio>
#include <string>

#include "fakes/fake_pipeline.h"
#include "fakes/fake_platform.h"
#include "pipeline/adb_listing.h"

int main()
{
    using namespace USB;
    const int sizes[] = {1, 16, 128};
    std::printf("%-8s %-10s %-14s %s\n", "phones", "listings", "us/listing", "entries");
    for (int phones : sizes) {
        Fake::Platform platform;
        Fake::AdbBridge bridge(platform.library);
        std::string listing = "List of devices attached\n";
        for (int i = 0; i < phones; ++i)
            listing += "R58M" + std::to_string(100000 + i) + "\tdevice\n";
        bridge.Script({listing});
        AdbListingSource source;
        const int rounds = phones >= 128 ? 500 : 2000;
        size_t entries = source.List().entries.size();  // warm-up: library load, data directory
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < rounds; ++i)
            entries = source.List().entries.size();
        const auto end = std::chrono::steady_clock::now();
        const double us = std::chrono::duration<double, std::micro>(end - start).count() / rounds;
        std::printf("%-8d %-10d %-14.1f %zu\n", phones, rounds, us, entries);
    }
    return 0;
}
