// The debounce of device-tree changes on the fake clock: when a burst yields its one notice.
#include <gtest/gtest.h>

#include <vector>

#include "discovery/debounce.h"
#include "fakes/fake_platform.h"

namespace {

using USB::Debounce;

class DebounceTest : public ::testing::Test {
protected:
    // Lets time pass a millisecond at a time, asking to fire at each, as a waker at any moment may.
    void Pass(uint64_t ms)
    {
        for (uint64_t i = 0; i < ms; ++i) {
            ++clock.now;
            debounce.FireIfDue();
        }
    }

    USB::Fake::Clock clock;
    std::vector<uint64_t> firedAt;
    Debounce debounce{clock, [this] { firedAt.push_back(clock.now); }};
};

TEST_F(DebounceTest, FiresOnce1500MsAfterTheLastChangeOfABurstUnlessCancelled)
{
    EXPECT_EQ(debounce.MsLeft(), Debounce::kIdle);
    for (int i = 0; i < 10; ++i) {
        Pass(i ? 200 : 0);
        debounce.Restart();
    }
    const uint64_t last = clock.now;
    EXPECT_EQ(debounce.MsLeft(), 1500u);
    Pass(1499);
    EXPECT_EQ(debounce.MsLeft(), 1u);
    Pass(5000);
    EXPECT_EQ(firedAt, std::vector<uint64_t>{last + 1500});
    EXPECT_EQ(debounce.MsLeft(), Debounce::kIdle);

    // An arrival cancels the pending fire until the next change.
    debounce.Restart();
    Pass(1000);
    debounce.Cancel();
    Pass(3000);
    debounce.Restart();
    Pass(3000);
    EXPECT_EQ(firedAt, (std::vector<uint64_t>{last + 1500, clock.now - 1500}));
}

}  // namespace
