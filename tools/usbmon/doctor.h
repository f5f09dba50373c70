// usbmon doctor: versions, the ADB server, every USB device with the phone decision and why,
// ADB interface, driver and server state, and the files the library reads with their digests.
#pragma once

#include <string>

namespace doctor {

// The report as text, or as one JSON document; false (with the reason in out) when it could not
// be made.
bool Report(bool json, std::string& out);

}  // namespace doctor
