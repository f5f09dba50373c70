// Starting an adb server process on Windows (and under Wine).
#pragma once

namespace adb {

// Runs "<adb> start-server" hidden and does not wait for it: under Wine a
// Linux adb cannot be waited on. Tries adb.exe beside the host executable,
// then adb.exe and adb in PATH's absolute folders, never the current folder
// (AdbProgramCandidates). False if none could be launched.
bool LaunchAdbStartServer();

}  // namespace adb
