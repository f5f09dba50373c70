// The system facts as the real Win32 adapter answers them inside a Windows process.
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "support/sys_utils.h"
#include "support/usb_log.h"
#include "win32/wide_text.h"
#include "wine/wine_files.h"

namespace {

using namespace USB;

TEST(SystemAdapter, PlatformFoldersAndErrorTexts)
{
    // "x64" exactly on a 64-bit Windows, whichever build asks: the 64-bit build, and the 32-bit
    // one under WOW64; a 32-bit-only prefix gives "x86".
    SYSTEM_INFO native{};
    GetNativeSystemInfo(&native);
    EXPECT_EQ(GetPlatformName(), native.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64 ? "x64" : "x86");

    EXPECT_EQ(GetDataDirectory(), DataFolder("\\usb\\"));
    EXPECT_TRUE(std::filesystem::is_directory(GetDataDirectory()));  // made on first use

    const std::string denied = GetWindowsErrorText(ERROR_ACCESS_DENIED);
    ASSERT_FALSE(denied.empty());
    EXPECT_NE(denied.back(), '\n');
    EXPECT_EQ(GetWindowsErrorText(0x80040201u), "IDispatch error #1");
}

TEST(SystemAdapter, ExeDirectoryHoldsThisProgram)
{
    EXPECT_EQ(GetExeDirectory() + "usb_wine_adapter_tests.exe", WideToUtf8(SelfPath()));
}

// The user's application-data folder, the temporary folder and the program's own folder under a
// profile whose name is not ASCII.
TEST(SystemAdapter, LogTrackTemporaryAndOwnFolderUnderAProfileOfAnyName)
{
    const std::wstring user = TempDir() + L"Jos\u00e9 \u5f20\u4f1f\\";
    const std::wstring appData = user + L"AppData";
    CreateDirectoryW(user.c_str(), nullptr);
    CreateDirectoryW(appData.c_str(), nullptr);
    const wchar_t* const folders = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
    wchar_t saved[1024] = {0};
    DWORD size = sizeof(saved);
    const bool had = RegGetValueW(HKEY_CURRENT_USER, folders, L"AppData", RRF_RT_ANY | RRF_NOEXPAND, nullptr, saved,
                                  &size) == ERROR_SUCCESS;
    RegSetKeyValueW(HKEY_CURRENT_USER, folders, L"AppData", REG_EXPAND_SZ, appData.c_str(),
                    static_cast<DWORD>((appData.size() + 1) * sizeof(wchar_t)));
    EXPECT_EQ(GetPorts().system->AppDataFolder(), WideToUtf8(appData));
    USB_LOG("written for Jos\xC3\xA9\n");
    WriteTrackLine("date=2024-01-01-00:00:00&process=checkadbdebug-->dmfail-->", false);
    if (had)
        RegSetKeyValueW(HKEY_CURRENT_USER, folders, L"AppData", REG_EXPAND_SZ, saved, size);
    else
        RegDeleteKeyValueW(HKEY_CURRENT_USER, folders, L"AppData");
    const std::wstring dir = appData + L"\\Ostrel\\usb\\";
    EXPECT_NE(ReadAll(dir + L"usb_log.txt").find("]: written for Jos\xC3\xA9\r\n"), std::string::npos);
    EXPECT_EQ(ReadAll(dir + L"usb_track.txt"), "date=2024-01-01-00:00:00&process=checkadbdebug-->dmfail-->\r\n");

    wchar_t savedTmp[MAX_PATH + 1] = {0};
    const bool hadTmp = GetEnvironmentVariableW(L"TMP", savedTmp, MAX_PATH + 1) > 0;
    SetEnvironmentVariableW(L"TMP", user.c_str());
    EXPECT_EQ(GetPorts().system->TempFolder(), WideToUtf8(user));
    SetEnvironmentVariableW(L"TMP", hadTmp ? savedTmp : nullptr);

    const std::wstring copy = user + L"usb_wine_adapter_tests.exe";
    ASSERT_TRUE(CopyFileW(SelfPath().c_str(), copy.c_str(), FALSE));
    HANDLE child = StartProgram(copy, L"--gtest_filter=SystemAdapter.ExeDirectoryHoldsThisProgram");
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(Finish(child, 60000), 0u) << "the copy in the non-ASCII folder did not find itself";
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(user), ignored);
}

}  // namespace
