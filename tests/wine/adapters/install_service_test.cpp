// The host's privileged install service (a named event and a shared page, played by
// fake_install_service.exe) and an installer that needs elevation.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "pipeline/driver_install.h"
#include "support/md5.h"
#include "win32/install_service_adapter.h"
#include "fakes/fake_install_service.h"
#include "support/ports/ports.h"
#include "wine/wine_files.h"

namespace {

// Serves the requests ARGUMENTS ask for ("COUNT ANSWER"), recording each; ready once its request
// event exists.
HANDLE StartService(const std::wstring& record, const std::wstring& arguments)
{
    HANDLE service = StartProgram(OwnFolder() + "fake_install_service.exe", L"\"" + record + L"\" " + arguments);
    HANDLE ready = nullptr;
    for (int i = 0; service && !ready && i < 400; ++i, Sleep(50))
        ready = OpenEventA(EVENT_ALL_ACCESS, FALSE, USB::kServiceEventName);
    CloseHandle(ready);
    return service;
}

TEST(HostInstallService, EveryRequestReachesTheServiceOnlySuccessCountsAndWithoutItTheRunIsLocal)
{
    const std::wstring record = TempDir() + L"fake_install_service_record.txt";
    DeleteFileW(record.c_str());
    HANDLE service = StartService(record, L"3 Success");
    ASSERT_NE(service, nullptr);
    EXPECT_EQ(USB::InstallThroughHostService("C:\\drv\\zordrvinstx64.exe\r\n\"C:\\t\\p.zip\" vid=18D1 pid=4EE2"), 1);
    EXPECT_EQ(USB::InstallThroughHostService("msiexec\r\n/i \"C:\\t\\p.msi\""), 1);
    EXPECT_EQ(USB::InstallThroughHostService("a.exe\r\n"), 1);
    EXPECT_EQ(Finish(service, 20000), 0u);
    EXPECT_EQ(ReadAll(record), "C:\\drv\\zordrvinstx64.exe\r\n\"C:\\t\\p.zip\" vid=18D1 pid=4EE2\n---\n"
                               "msiexec\r\n/i \"C:\\t\\p.msi\"\n---\na.exe\r\n\n---\n");
    service = StartService(record, L"1 fail");
    ASSERT_NE(service, nullptr);
    EXPECT_EQ(USB::InstallThroughHostService("a.exe\r\n"), 0);
    Finish(service, 20000);
    EXPECT_EQ(USB::InstallThroughHostService("a.exe\r\n"), 0);  // no service event now
}

// Wine elevates a program whose manifest asks for it instead of failing its creation, so the
// plain launch's "elevation required" (740) is played by the fake; the shell's launch is real,
// of the package held against writers.
struct NeedsElevation : USB::Fake::InstallService {
    RunOutcome RunElevated(const std::string& program, const std::string& parameters, uint32_t timeoutMs) override
    {
        return elevated = USB::Win32InstallService().RunElevated(program, parameters, timeoutMs);
    }
    RunOutcome elevated;
};

TEST(HostInstallService, InstallerThatNeedsElevationRunsThroughTheShellAndIsWaitedFor)
{
    const LogTail log;
    USB::InstallServicePort* real = USB::GetPorts().installService;
    NeedsElevation port;
    port.plainError = 740;
    USB::GetPorts().installService = &port;
    const std::string installer = OwnFolder() + "fake_driver_installer.exe";  // without ids it writes a failure result
    const bool installed = USB::InstallDriver("18D1", "4EE2", installer, USB::MD5::Of(ReadAll(installer)));
    USB::GetPorts().installService = real;
    EXPECT_FALSE(installed);
    EXPECT_EQ(port.elevated.result, USB::InstallServicePort::RunResult::Ended);
    const std::string lines = log.Text();
    for (const char* text : {"the installer needs elevation, starting it through the shell",
                             "the installer was started elevated through the shell",
                             "the return string of the install's program is fail:no such device"})  // ran to its end
        EXPECT_NE(lines.find(text), std::string::npos) << text << "\n" << lines;
}

}  // namespace
