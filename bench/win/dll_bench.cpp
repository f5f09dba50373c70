// DLL load-and-start cost and the threads it leaves running, beside a plain system DLL load.
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>

#include "usbhelper.h"

namespace {

int ThreadsOfThisProcess()
{
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    int count = 0;
    for (BOOL ok = Thread32First(snap, &entry); ok; ok = Thread32Next(snap, &entry))
        count += entry.th32OwnerProcessID == GetCurrentProcessId();
    CloseHandle(snap);
    return count;
}

double Ms(LARGE_INTEGER a, LARGE_INTEGER b)
{
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return 1000.0 * static_cast<double>(b.QuadPart - a.QuadPart) / static_cast<double>(f.QuadPart);
}

void USB_CDECL Ignore(int32_t, const char*) {}

}  // namespace

int main()
{
    LARGE_INTEGER t0, t1, t2, t3;
    QueryPerformanceCounter(&t0);
    HMODULE reference = LoadLibraryA("wininet.dll");
    QueryPerformanceCounter(&t1);
    const int threadsBefore = ThreadsOfThisProcess();
    HMODULE dll = LoadLibraryA("usbhelper.dll");
    QueryPerformanceCounter(&t2);
    if (!dll || !reference) {
        std::printf("dll_bench: cannot load usbhelper.dll\n");
        return 1;
    }
    auto start = reinterpret_cast<decltype(&IUSB_start)>(reinterpret_cast<void*>(GetProcAddress(dll, "IUSB_start")));
    auto stop = reinterpret_cast<decltype(&IUSB_stop)>(reinterpret_cast<void*>(GetProcAddress(dll, "IUSB_stop")));
    start(&Ignore);
    QueryPerformanceCounter(&t3);
    Sleep(3000);  // init thread and whitelist check finish; what stays is the idle set
    const int threadsIdle = ThreadsOfThisProcess();
    std::printf("dll load                 %8.2f ms   (reference: wininet.dll load %.2f ms, ratio %.1f)\n", Ms(t1, t2),
                Ms(t0, t1), Ms(t1, t2) / (Ms(t0, t1) > 0 ? Ms(t0, t1) : 1));
    std::printf("IUSB_start               %8.2f ms   (includes the ADB server probe)\n", Ms(t2, t3));
    std::printf("threads when idle        %8d      (before load: %d, added: %d)\n", threadsIdle, threadsBefore,
                threadsIdle - threadsBefore);
    stop();
    return 0;
}
