// Driver packages run here: through the host's install service when it answers, else as a
// local installer whose one-line result file says how it went.
#include <cstring>

#include "pipeline/driver_install.h"

#include "cloud/cloud_client.h"
#include "support/ports/ports.h"
#include "support/ports/install_service_port.h"
#include "support/sys_utils.h"
#include "support/usb_log.h"

namespace USB {

namespace {

std::string InstallerResultPath()
{
    // The data directory already ends with a separator; the doubled one is harmless.
    return GetDataDirectory() + kPathSep + "insret.txt";
}

constexpr uint32_t kElevationRequired = 740;

// Runs an installer here and waits for it, bounded. A plain process first; when Windows says
// the installer needs elevation, through the shell, which can ask for it.
void RunInstallerHere(const std::string& program, const std::string& parameters)
{
    InstallServicePort* port = GetPorts().installService;
    InstallServicePort::RunOutcome outcome = port->RunHidden(program, parameters, kLocalInstallerTimeoutMs);
    const char* way = "as a plain process";
    if (outcome.result == InstallServicePort::RunResult::NotStarted && outcome.error == kElevationRequired) {
        USB_LOG("the installer needs elevation, starting it through the shell\n");
        outcome = port->RunElevated(program, parameters, kLocalInstallerTimeoutMs);
        way = "elevated through the shell";
    }
    if (outcome.result == InstallServicePort::RunResult::NotStarted) {
        USB_LOG("the installer %s could not be started %s, error %u\n", program.c_str(), way,
                static_cast<unsigned>(outcome.error));
        return;
    }
    USB_LOG("the installer was started %s\n", way);
    if (outcome.result == InstallServicePort::RunResult::TimedOut)
        USB_LOG("the installer did not end in %u ms\n", static_cast<unsigned>(kLocalInstallerTimeoutMs));
}

}  // namespace

int InstallDriver(UsbDevice* device)
{
    if (!device || !AcceptIds(device->m_vid, device->m_pid))
        return kDriverFailed;
    const std::string& file = device->m_driverFile;
    std::string program;
    std::string parameters;
    if (file.find(".msi") != std::string::npos) {
        USB_LOG("msi.........\n");
        program = "msiexec";
        parameters = "/i \"" + file + "\"";
    } else if (file.find(".exe") != std::string::npos) {
        USB_LOG("exe.........\n");
        program = file;
    } else if (file.find(".zip") != std::string::npos) {
        USB_LOG("zip.........\n");
        const std::string platform = GetPlatformName();
        program = GetExeDirectory() + "\\" + (platform == "x64" ? "zordrvinstx64.exe" : "zordrvinst.exe");
        parameters = "\"" + file + "\" vid=" + device->m_vid + " pid=" + device->m_pid;
    } else {
        USB_LOG("install fail\n");
        device->m_isDriverOk = false;
        return kDriverFailed;
    }
    USB_LOG("before exec path is %s, param is %s\n", program.c_str(), parameters.c_str());
    if (InstallThroughHostService(program + "\r\n" + parameters) == kServiceInstalled) {
        USB_LOG("the driver installed by the parvello_helper.exe\n");
        return kDriverOk;
    }

    USB_LOG("exec path is %s, param is %s\n", program.c_str(), parameters.c_str());
    const std::string resultPath = InstallerResultPath();
    // A result left by an earlier installer is not this one's.
    RemoveFile(resultPath);
    RunInstallerHere(program, parameters);

    if (!FileExists(resultPath)) {
        USB_LOG("the insret.txt is not exist\n");
        return kDriverFailed;
    }
    // The installer writes one short line; more than 256 bytes of it are never looked at.
    std::string text;
    const bool read = ReadFileStart(resultPath, 256, true, text);
    RemoveFile(resultPath);
    if (!read)
        return kDriverFailed;
    text.resize(std::strlen(text.c_str()));
    USB_LOG("the return string of the install's program is %s\n", text.c_str());
    return text.find("success:") != std::string::npos ? kDriverOk : kDriverFailed;
}

}  // namespace USB
