// usbmon doctor: versions, the ADB server, every USB device with the phone decision and why,
// ADB interface, driver and server state, and the files the library reads with their digests.
#pragma once

namespace doctor {

// Prints the report (text, or one JSON document); 0 when it could be made.
int Run(bool json);

}  // namespace doctor
