// The host install service path and a hidden installer run, against fake_install_service.exe.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>

#include "pipeline/driver_provisioning.h"
#include "pipeline/install_service_port.h"
#include "support/ports.h"

namespace {

std::string OwnFolder()
{
    char path[MAX_PATH] = {0};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string text(path);
    return text.substr(0, text.find_last_of('\\') + 1);
}

std::string ReadAll(const std::string& path)
{
    std::string out;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof(buffer), f)) > 0)
            out.append(buffer, n);
        std::fclose(f);
    }
    return out;
}

class HostInstallService : public ::testing::Test {
protected:
    void SetUp() override
    {
        program = OwnFolder() + "fake_install_service.exe";
        if (GetFileAttributesA(program.c_str()) == INVALID_FILE_ATTRIBUTES)
            GTEST_SKIP() << "fake_install_service.exe not built";
        char temp[MAX_PATH] = {0};
        GetTempPathA(MAX_PATH, temp);
        record = std::string(temp) + "fake_install_service_record.txt";
        DeleteFileA(record.c_str());
    }

    HANDLE StartService(int count, const char* answer)
    {
        std::string command = "\"" + program + "\" \"" + record + "\" " + std::to_string(count) + " " + answer;
        STARTUPINFOA si;
        ZeroMemory(&si, sizeof(si));
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi;
        ZeroMemory(&pi, sizeof(pi));
        if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
            return nullptr;
        CloseHandle(pi.hThread);
        // Ready once its request event exists.
        for (int i = 0; i < 400; ++i) {
            if (HANDLE e = OpenEventW(EVENT_ALL_ACCESS, FALSE, USB::kServiceEventName)) {
                CloseHandle(e);
                break;
            }
            Sleep(50);
        }
        return pi.hProcess;
    }

    std::string program;
    std::string record;
};

TEST_F(HostInstallService, EveryRequestReachesTheServiceAndSuccessIsSeen)
{
    HANDLE service = StartService(2, "Success");
    ASSERT_NE(service, nullptr);
    EXPECT_EQ(USB::InstallThroughHostService("C:\\drv\\zordrvinstx64.exe\r\n\"C:\\t\\p.zip\" vid=18D1 pid=4EE2"), 1);
    EXPECT_EQ(USB::InstallThroughHostService("msiexec\r\n/i \"C:\\t\\p.msi\""), 1);
    EXPECT_EQ(WaitForSingleObject(service, 20000), WAIT_OBJECT_0);
    DWORD code = 99;
    GetExitCodeProcess(service, &code);
    CloseHandle(service);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(ReadAll(record), "C:\\drv\\zordrvinstx64.exe\r\n\"C:\\t\\p.zip\" vid=18D1 pid=4EE2\n---\n"
                               "msiexec\r\n/i \"C:\\t\\p.msi\"\n---\n");
}

TEST_F(HostInstallService, OtherAnswersAndNoServiceMeanLocalRun)
{
    HANDLE service = StartService(1, "fail");
    ASSERT_NE(service, nullptr);
    EXPECT_EQ(USB::InstallThroughHostService("a.exe\r\n"), 0);
    WaitForSingleObject(service, 20000);
    CloseHandle(service);
    EXPECT_EQ(USB::InstallThroughHostService("a.exe\r\n"), 0);  // no service event now
}

TEST_F(HostInstallService, HiddenInstallerRunIsWaitedFor)
{
    char temp[MAX_PATH] = {0};
    GetTempPathA(MAX_PATH, temp);
    const std::string result = std::string(temp) + "fake_insret.txt";
    DeleteFileA(result.c_str());
    USB::InstallServicePort* port = USB::GetPorts().installService;
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->RunHidden(program, "--write-result \"" + result + "\" success:done", 60000),
              USB::InstallServicePort::RunResult::Ended);
    EXPECT_EQ(ReadAll(result), "success:done");
    EXPECT_EQ(port->RunHidden(OwnFolder() + "no_such_installer.exe", "", 1000),
              USB::InstallServicePort::RunResult::NotStarted);
}

}  // namespace
