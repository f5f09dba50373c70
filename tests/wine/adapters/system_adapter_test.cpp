// The system facts as the real Win32 adapter answers them inside a Windows process.
#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "support/sys_utils.h"
#include "support/usb_log.h"
#include "support/win32/win32_text.h"
#include "wine/wine_files.h"

namespace {

using namespace USB;

TEST(SystemAdapter, PlatformFoldersAndErrorTexts)
{
    // "x64" exactly when a 32-bit process runs on a 64-bit Windows (WOW64): a 32-bit-only
    // prefix gives "x86", and so does a 64-bit build, which is not under WOW64.
    SYSTEM_INFO native{};
    GetNativeSystemInfo(&native);
    const bool wow64 = sizeof(void*) == 4 && native.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64;
    EXPECT_EQ(GetPlatformName(), wow64 ? "x64" : "x86");

    char appData[MAX_PATH] = {0};
    ASSERT_TRUE(SHGetSpecialFolderPathA(nullptr, appData, CSIDL_APPDATA, FALSE));
    EXPECT_EQ(GetDataDirectory(), std::string(appData) + "\\Ostrel\\usb\\");
    EXPECT_TRUE(GetFileAttributesA(GetDataDirectory().c_str()) & FILE_ATTRIBUTE_DIRECTORY);

    const std::wstring denied = GetWindowsErrorText(ERROR_ACCESS_DENIED);
    ASSERT_FALSE(denied.empty());
    EXPECT_NE(denied.back(), L'\n');
    EXPECT_EQ(GetWindowsErrorText(0x80040201u), L"IDispatch error #1");
}

TEST(SystemAdapter, ExeDirectoryHoldsThisProgram)
{
    const std::string dir = GetExeDirectory();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.back(), '\\');
    EXPECT_NE(dir.substr(0, dir.size() - 1).back(), '\\');
    EXPECT_TRUE(FileExists(dir + "usb_wine_adapter_tests.exe")) << dir;
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
    std::wstring command = L"\"" + copy + L"\" --gtest_filter=SystemAdapter.ExeDirectoryHoldsThisProgram";
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(CreateProcessW(copy.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    DWORD code = 1;
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 60000), WAIT_OBJECT_0);
    GetExitCodeProcess(pi.hProcess, &code);
    EXPECT_EQ(code, 0u) << "the copy in the non-ASCII folder did not find itself";
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(user), ignored);
}

}  // namespace
