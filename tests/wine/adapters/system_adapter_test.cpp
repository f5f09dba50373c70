// The system facts as the real Win32 adapter answers them inside a Windows process.
#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

#include "support/sys_utils.h"
#include "support/usb_log.h"
#include "support/win32/win32_text.h"

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

// ---- users and folders whose names are not ASCII ---------------------------------------

std::wstring TempDir()
{
    wchar_t temp[MAX_PATH + 1] = {0};
    GetTempPathW(MAX_PATH + 1, temp);
    return temp;
}

std::string ReadFileW(const std::wstring& path)
{
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Points this user's application-data folder elsewhere; the prefix's setting is put back after.
class AppDataRedirect {
public:
    explicit AppDataRedirect(const std::wstring& folder)
    {
        RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders",
                        0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &m_key, nullptr);
        m_had = RegQueryValueExW(m_key, L"AppData", nullptr, &m_type, reinterpret_cast<BYTE*>(m_saved), &m_size) ==
                ERROR_SUCCESS;
        Set(REG_EXPAND_SZ, folder.c_str(), static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t)));
    }
    ~AppDataRedirect()
    {
        if (m_had)
            Set(m_type, m_saved, m_size);
        else
            RegDeleteValueW(m_key, L"AppData");
        RegCloseKey(m_key);
    }

private:
    void Set(DWORD type, const wchar_t* value, DWORD bytes)
    {
        RegSetValueExW(m_key, L"AppData", 0, type, reinterpret_cast<const BYTE*>(value), bytes);
    }
    HKEY m_key = nullptr;
    bool m_had = false;
    DWORD m_type = 0;
    wchar_t m_saved[1024] = {0};
    DWORD m_size = sizeof(m_saved);
};

TEST(SystemAdapter, LogAndTrackFileGoUnderAProfileOfAnyName)
{
    const std::wstring user = TempDir() + L"Jos\u00e9 \u5f20\u4f1f\\";
    const std::wstring appData = user + L"AppData";
    CreateDirectoryW(user.c_str(), nullptr);
    CreateDirectoryW(appData.c_str(), nullptr);
    {
        AppDataRedirect redirect(appData);
        EXPECT_EQ(GetPorts().system->AppDataFolder(), WideToUtf8(appData));
        USB_LOG("written for Jos\xC3\xA9\n");
        WriteTrackLine("date=2024-01-01-00:00:00&process=checkadbdebug-->dmfail-->", false);
    }
    const std::wstring dir = appData + L"\\Ostrel\\usb\\";
    EXPECT_NE(ReadFileW(dir + L"usb_log.txt").find("]: written for Jos\xC3\xA9\r\n"), std::string::npos);
    EXPECT_EQ(ReadFileW(dir + L"usb_track.txt"), "date=2024-01-01-00:00:00&process=checkadbdebug-->dmfail-->\r\n");

    // The temporary folder (downloaded packages) and the program's own folder likewise.
    wchar_t savedTmp[MAX_PATH + 1] = {0};
    const bool hadTmp = GetEnvironmentVariableW(L"TMP", savedTmp, MAX_PATH + 1) > 0;
    SetEnvironmentVariableW(L"TMP", user.c_str());
    EXPECT_EQ(GetPorts().system->TempFolder(), WideToUtf8(user));
    SetEnvironmentVariableW(L"TMP", hadTmp ? savedTmp : nullptr);

    wchar_t self[MAX_PATH] = {0};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring copy = user + L"usb_wine_adapter_tests.exe";
    ASSERT_TRUE(CopyFileW(self, copy.c_str(), FALSE));
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
