// What a host sees of the exports before, during and after a run of the service.
#include <gtest/gtest.h>

#include "fakes/fake_platform.h"
#include "service/USB_Service.h"
#include "usbhelper.h"

namespace {

TEST(Exports, StopWithoutStartIsRefused)
{
    USB::Fake::Platform platform;
    EXPECT_EQ(IUSB_stop(), -1);
}

TEST(Exports, StartThenStopThenStopAgain)
{
    USB::Fake::Platform platform;
    IUSB_start(nullptr);
    EXPECT_EQ(IUSB_stop(), 0);
    EXPECT_EQ(IUSB_stop(), -1);
}

}  // namespace
