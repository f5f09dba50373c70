// The host install service path and a hidden installer run, against fake_install_service.exe.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>

#include "cloud/Usb_Cloud.h"
#include "cloud/driver_install.h"
#include "cloud/win32/install_service_adapter.h"
#include "fakes/fake_install_service.h"
#include "support/ports.h"
#include "support/ports/install_service_port.h"
#include "support/usb_log.h"

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
    EXPECT_EQ(port->RunHidden(program, "--write-result \"" + result + "\" success:done", 60000).result,
              USB::InstallServicePort::RunResult::Ended);
    EXPECT_EQ(ReadAll(result), "success:done");
    const USB::InstallServicePort::RunOutcome missing = port->RunHidden(OwnFolder() + "no_such_installer.exe", "", 1000);
    EXPECT_EQ(missing.result, USB::InstallServicePort::RunResult::NotStarted);
    EXPECT_EQ(missing.error, static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
}

// Wine elevates a program whose manifest asks for it instead of failing its creation, so the
// plain launch's "elevation required" (740) is played by the fake; the shell's launch is real.
struct NeedsElevation : USB::Fake::InstallService {
    RunOutcome RunElevated(const std::string& program, const std::string& parameters, uint32_t timeoutMs) override
    {
        elevated = USB::Win32InstallService().RunElevated(program, parameters, timeoutMs);
        return elevated;
    }
    RunOutcome elevated;
};

TEST_F(HostInstallService, InstallerThatNeedsElevationRunsThroughTheShellAndIsWaitedFor)
{
    const std::string installer = OwnFolder() + "fake_driver_installer.exe";
    ASSERT_NE(GetFileAttributesA(installer.c_str()), INVALID_FILE_ATTRIBUTES);
    const std::string log = USB::GetDataDirectory() + "usb_log.txt";
    const size_t before = ReadAll(log).size();
    USB::InstallServicePort* real = USB::GetPorts().installService;
    NeedsElevation port;
    port.plainError = 740;
    USB::GetPorts().installService = &port;
    USB::UsbCloud cloud;
    USB::UsbDevice device;
    device.m_vid = "18D1";
    device.m_pid = "4EE2";
    device.m_driverFile = installer;  // run as the package; without ids it writes a failure result
    const int result = cloud.InstallDriver(&device);
    USB::GetPorts().installService = real;
    EXPECT_EQ(result, -1);
    EXPECT_EQ(port.elevated.result, USB::InstallServicePort::RunResult::Ended);
    const std::string all = ReadAll(log);
    const std::string lines = all.size() >= before ? all.substr(before) : all;  // the log may have been cut
    EXPECT_NE(lines.find("the installer needs elevation, starting it through the shell"), std::string::npos) << lines;
    EXPECT_NE(lines.find("the installer was started elevated through the shell"), std::string::npos) << lines;
    // Its result file was there once the wait ended: the installer ran to its end.
    EXPECT_NE(lines.find("the return string of the install's program is fail:no such device"), std::string::npos)
        << lines;
}

}  // namespace
