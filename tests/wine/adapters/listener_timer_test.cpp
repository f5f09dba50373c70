// The listener's debounce timer as its DEVNODES_CHANGED poster uses it: the callback disarms
// its own timer.
#include <gtest/gtest.h>

#include <windows.h>

#include "discovery/win32/Usb_WMessage.h"

namespace {

USB::UsbTimer* g_timer = nullptr;
HANDLE g_fired = nullptr;
DWORD g_stopMs = 0;

void StopFromTheCallback(uintptr_t)
{
    const DWORD began = GetTickCount();
    g_timer->Stop();
    g_stopMs = GetTickCount() - began;
    SetEvent(g_fired);
}

TEST(ListenerTimer, ACallbackThatDisarmsItsOwnTimerDoesNotWaitForItselfAndItArmsAgain)
{
    g_timer = new USB::UsbTimer();  // kept: its last thread may still be ending when the test does
    g_fired = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    g_timer->m_callback = &StopFromTheCallback;
    g_timer->m_periodMs = 10;
    for (int round = 0; round < 3; ++round) {
        g_timer->Start();
        ASSERT_EQ(WaitForSingleObject(g_fired, 10000), WAIT_OBJECT_0) << "round " << round;
        // Waiting for its own end would last the stop's whole 2000 ms.
        EXPECT_LT(g_stopMs, 1000u) << "round " << round;
        EXPECT_FALSE(g_timer->m_running);
    }
}

}  // namespace
