// Files held against writers and named locks, as Windows keeps them.
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <string>
#include <thread>

#include "support/ports/guard_port.h"
#include "support/ports/ports.h"
#include "win32/guard_adapter.h"
#include "win32/install_service_adapter.h"
#include "win32/wide_text.h"
#include "wine/wine_files.h"

namespace {

using USB::GuardPort;

// A held package is read whole and still runs, but nobody writes, renames or deletes it until it
// is released; a file someone is writing cannot be held. msiexec lies where the core starts it.
TEST(GuardAdapter, HeldFileIsReadAndRunButNeverChanged)
{
    GuardPort& guard = USB::Win32Guard();
    const std::wstring program = std::filesystem::path(SelfPath()).parent_path() / L"fake_driver_installer.exe";
    const std::wstring copy = TempDir() + L"held \u00e9\u5f20.exe";  // outside the ANSI code page
    ASSERT_TRUE(CopyFileW(program.c_str(), copy.c_str(), FALSE));
    const std::string path = USB::WideToUtf8(copy);
    GuardPort::Handle held = guard.HoldFile(path);
    ASSERT_NE(held, nullptr);

    auto opens = [&](DWORD access) {
        HANDLE h = CreateFileW(copy.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        CloseHandle(h);
        return h != INVALID_HANDLE_VALUE;
    };
    EXPECT_TRUE(opens(GENERIC_READ));
    EXPECT_FALSE(opens(GENERIC_WRITE));
    EXPECT_FALSE(opens(DELETE));  // nor renamed
    EXPECT_EQ(USB::Win32InstallService().RunHidden(path, "", 30000).result, USB::InstallServicePort::RunResult::Ended);
    DeleteFileW(USB::Utf8ToWide(DataFolder("\\usb\\insret.txt")).c_str());  // what the program wrote

    std::string bytes(4096, '\0');
    size_t total = 0;
    for (uint32_t got = 0; guard.ReadHeld(held, &bytes[0], 4096, got) && got;)
        total += got;
    EXPECT_EQ(total, ReadAll(copy).size());
    guard.ReleaseFile(held);

    HANDLE writer = CreateFileW(copy.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(guard.HoldFile(path), nullptr);
    CloseHandle(writer);
    EXPECT_TRUE(DeleteFileW(copy.c_str()));
    EXPECT_EQ(guard.HoldFile(path), nullptr);

    const std::string msiexec = USB::GetPorts().system->SystemFolder() + "msiexec.exe";
    EXPECT_NE(GetFileAttributesW(USB::Utf8ToWide(msiexec).c_str()), INVALID_FILE_ATTRIBUTES) << msiexec;
}

// One holder at a time (threads here, processes alike); a holder that ended without releasing
// the lock leaves it to the next.
TEST(GuardAdapter, NamedLockHasOneHolderAndOutlivesNone)
{
    GuardPort& guard = USB::Win32Guard();
    const std::string name = "Local\\usbhelper-guard-test";
    GuardPort::Handle first = guard.AcquireLock(name, 0);
    ASSERT_NE(first, nullptr);
    GuardPort::Handle other = first;
    std::thread([&] { other = guard.AcquireLock(name, 100); }).join();
    EXPECT_EQ(other, nullptr);
    guard.ReleaseLock(first);
    std::thread([&] { other = guard.AcquireLock(name, 0); }).join();  // ends holding it
    ASSERT_NE(other, nullptr);
    GuardPort::Handle next = guard.AcquireLock(name, 1000);
    EXPECT_NE(next, nullptr);
    guard.ReleaseLock(next);
    guard.ReleaseLock(other);
}

}  // namespace
