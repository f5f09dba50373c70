// The debounce's Win32 waker: its named waitable timer wakes it when due, once per arming.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdio>

#include "discovery/win32/Usb_WMessage.h"

namespace {

std::atomic<int> g_fired{0};
HANDLE g_firedEvent = nullptr;

void Fire()
{
    ++g_fired;
    SetEvent(g_firedEvent);
}

TEST(ListenerTimer, FiresOncePerArmingUnderItsNamedTimer)
{
    g_firedEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    {
        USB::UsbTimer timer(&Fire, 20);
        for (int round = 1; round <= 2; ++round) {
            timer.Restart();
            timer.Restart();
            ASSERT_EQ(WaitForSingleObject(g_firedEvent, 10000), WAIT_OBJECT_0) << "round " << round;
            Sleep(200);
            EXPECT_EQ(g_fired, round);
        }
        wchar_t name[40];
        std::swprintf(name, 40, L"LRT_%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&timer)));
        HANDLE named = OpenWaitableTimerW(SYNCHRONIZE, FALSE, name);
        EXPECT_NE(named, nullptr);
        if (named)
            CloseHandle(named);
    }  // its thread ends with it
    CloseHandle(g_firedEvent);
}

}  // namespace
