// Step 2 of the pipeline: make sure Windows has an ADB driver bound to the phone.
#pragma once

#include <atomic>
#include <memory>
#include <string>

namespace USB {

class CloudClient;
// One driver install: what the installer needs of the phone (the record may go away while the
// installer runs) and the install's own end, which only its poll waits for.
struct InstallJob {
    std::string vid;
    std::string pid;
    std::string file;
    std::string md5;  // the digest the package was checked against at its download
    std::atomic<bool> ended{false};
};

void DriverInstallThread(InstallJob* job);
// Install threads not yet ended (tests wait them out).
int InstallThreadsRunning();
// The system's temporary folder, at most 1024 bytes of it.
std::string GetTempDirectory();
// ".msi", ".exe" or ".zip" by the extension of the file the URL names; "" for none.
std::string GetPackageExtension(const std::string& url);

}  // namespace USB
