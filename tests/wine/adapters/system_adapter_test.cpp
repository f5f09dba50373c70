// The system facts as the real Win32 adapter answers them inside a Windows process.
#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <string>

#include "service/usb_log.h"
#include "support/sys_utils.h"

namespace {

using namespace USB;

bool IsDirectory(const std::string& path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

TEST(SystemAdapter, PlatformNameFollowsWow64)
{
    // "x64" exactly when a 32-bit process runs on a 64-bit Windows (WOW64): a 32-bit-only
    // prefix gives "x86", and so does a 64-bit build, which is not under WOW64.
    SYSTEM_INFO native{};
    GetNativeSystemInfo(&native);
    const bool wow64 = sizeof(void*) == 4 && native.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64;
    EXPECT_EQ(GetPlatformName(), wow64 ? "x64" : "x86");
}

TEST(SystemAdapter, ExeDirectoryHoldsThisProgram)
{
    const std::string dir = GetExeDirectory();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.back(), '\\');
    EXPECT_NE(dir.substr(0, dir.size() - 1).back(), '\\');
    EXPECT_TRUE(FileExists(dir + "usb_wine_adapter_tests.exe")) << dir;
}

TEST(SystemAdapter, OsNameIsKnown)
{
    EXPECT_FALSE(GetOsName().empty());
}

TEST(SystemAdapter, DataDirectoryUnderApplicationData)
{
    char appData[MAX_PATH] = {0};
    ASSERT_TRUE(SHGetSpecialFolderPathA(nullptr, appData, CSIDL_APPDATA, FALSE));
    const std::string dir = GetDataDirectory();
    EXPECT_EQ(dir, std::string(appData) + "\\Ostrel\\usb\\");
    EXPECT_TRUE(IsDirectory(dir));
}

TEST(SystemAdapter, ErrorTextsWithoutLineEnd)
{
    const std::wstring denied = GetWindowsErrorText(ERROR_ACCESS_DENIED);
    ASSERT_FALSE(denied.empty());
    EXPECT_NE(denied.back(), L'\n');
    EXPECT_EQ(GetWindowsErrorText(0x80040201u), L"IDispatch error #1");
}

}  // namespace
