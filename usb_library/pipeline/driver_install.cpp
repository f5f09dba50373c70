// Driver packages run here: through the host's install service when it answers, else as a
// local installer whose one-line result file says how it went.
#include <cstring>

#include "pipeline/driver_install.h"

#include "cloud/cloud_client.h"
#include "support/md5.h"
#include "support/ports/guard_port.h"
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

// The package held against writers while it lives: the bytes digested here are the bytes the
// installer reads, however long the wait before it was.
class HeldPackage {
public:
    explicit HeldPackage(const std::string& path) : m_port(*GetPorts().guard), m_file(m_port.HoldFile(path)) {}
    ~HeldPackage() { Release(); }
    HeldPackage(const HeldPackage&) = delete;
    HeldPackage& operator=(const HeldPackage&) = delete;

    bool Matches(const std::string& md5)
    {
        if (!m_file || md5.empty())
            return false;
        MD5 digest;
        std::string buffer(64 * 1024, '\0');
        uint64_t total = 0;
        for (;;) {
            uint32_t got = 0;
            if (!m_port.ReadHeld(m_file, &buffer[0], static_cast<uint32_t>(buffer.size()), got))
                return false;
            if (got == 0)
                break;
            total += got;
            if (total > kMaxPackageBytes)
                return false;
            digest.Update(buffer.data(), got);
        }
        return digest.HexDigest() == md5;
    }
    void Release()
    {
        if (m_file)
            m_port.ReleaseFile(m_file);
        m_file = nullptr;
    }

private:
    GuardPort& m_port;
    GuardPort::Handle m_file;
};

std::string KnownExtension(const std::string& name)
{
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos)
        return std::string();
    const std::string extension = ToLowerAscii(name.substr(dot));
    for (const char* known : {".msi", ".exe", ".zip"})
        if (extension == known)
            return known;
    return std::string();
}

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

std::string PackageExtensionOfFile(const std::string& path)
{
    const size_t separator = path.find_last_of("\\/");
    return KnownExtension(separator == std::string::npos ? path : path.substr(separator + 1));
}

std::string PackageExtensionOfUrl(const std::string& url)
{
    const size_t scheme = url.find("://");
    const size_t start = url.find_first_of("/?#", scheme == std::string::npos ? 0 : scheme + 3);
    if (start == std::string::npos || url[start] != '/')
        return std::string();
    const size_t end = url.find_first_of("?#", start);
    return PackageExtensionOfFile(url.substr(start, end == std::string::npos ? std::string::npos : end - start));
}

bool InstallDriver(const std::string& vid, const std::string& pid, const std::string& file, const std::string& md5)
{
    LockGuard guard(InstallLock());
    if (!AcceptIds(vid, pid))
        return false;
    const std::string extension = PackageExtensionOfFile(file);
    std::string program;
    std::string parameters;
    if (extension == ".msi") {
        USB_LOG("msi.........\n");
        // By its full path: a search would start in folders the user can write.
        const std::string systemFolder = GetPorts().system->SystemFolder();
        if (systemFolder.empty()) {
            USB_LOG("the system folder is unknown, msiexec is not started\n");
            return false;
        }
        program = systemFolder + "msiexec.exe";
        parameters = "/i \"" + file + "\"";
    } else if (extension == ".exe") {
        USB_LOG("exe.........\n");
        program = file;
    } else if (extension == ".zip") {
        USB_LOG("zip.........\n");
        const std::string platform = GetPlatformName();
        program = GetExeDirectory() + "\\" + (platform == "x64" ? "zordrvinstx64.exe" : "zordrvinst.exe");
        parameters = "\"" + file + "\" vid=" + vid + " pid=" + pid;
    } else {
        USB_LOG("install fail\n");
        return false;
    }
    // The package lies in a folder others can write, maybe for an hour since its download.
    HeldPackage package(file);
    if (!package.Matches(md5)) {
        USB_LOG("the driver package %s is not the one that was checked, it is not run\n", file.c_str());
        package.Release();
        RemoveFile(file);
        return false;
    }
    USB_LOG("before exec path is %s, param is %s\n", program.c_str(), parameters.c_str());
    if (InstallThroughHostServiceLocked(program + "\r\n" + parameters)) {
        USB_LOG("the driver installed by the parvello_helper.exe\n");
        return true;
    }

    USB_LOG("exec path is %s, param is %s\n", program.c_str(), parameters.c_str());
    const std::string resultPath = InstallerResultPath();
    // A result left by an earlier installer is not this one's.
    RemoveFile(resultPath);
    RunInstallerHere(program, parameters);
    package.Release();

    if (!FileExists(resultPath)) {
        USB_LOG("the insret.txt is not exist\n");
        return false;
    }
    // The installer writes one short line; more than 256 bytes of it are never looked at.
    std::string text;
    const bool read = ReadFileStart(resultPath, 256, true, text);
    RemoveFile(resultPath);
    if (!read)
        return false;
    text.resize(std::strlen(text.c_str()));
    USB_LOG("the return string of the install's program is %s\n", text.c_str());
    return text.find("success:") != std::string::npos;
}

}  // namespace USB
