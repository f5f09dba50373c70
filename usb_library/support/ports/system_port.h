// System facts and paths of the host process, the network state, sockets start-up and error texts.
#pragma once

#include <cstdint>
#include <string>

namespace USB {

// Version facts as the OS reports them to the host process.
struct OsVersionFacts {
    bool ok = false;  // false: the version could not be read
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t platformId = 0;             // 1 = 9x family, 2 = NT family
    uint8_t productType = 0;             // 1 = workstation
    uint16_t processorArchitecture = 0;  // 9 = AMD64
    int serverR2 = 0;                    // the SM_SERVERR2 system metric
};

class SystemPort {
public:
    virtual ~SystemPort() = default;
    // Paths are UTF-8, as file_io.h takes them.
    virtual std::string ExecutablePath() = 0;  // full path of the host process image
    virtual std::string AppDataFolder() = 0;   // roaming application data; "" when unavailable
    virtual std::string TempFolder() = 0;      // system temporary folder, with its closing separator
    // The system's own library folder, with its closing separator; "" when unknown.
    virtual std::string SystemFolder() { return std::string(); }
    // The id of this process; 0 when unknown.
    virtual uint32_t ProcessId() { return 0; }
    virtual OsVersionFacts OsVersion() = 0;
    // Whether this process runs under WOW64; Unknown where the query does not exist.
    enum class Wow64 { Yes, No, Unknown };
    virtual Wow64 Wow64State() = 0;
    virtual bool Is64BitProcess() = 0;  // the library itself is a 64-bit build
    virtual bool NetworkAlive() = 0;
    virtual bool SocketsStartup() = 0;
    virtual void SocketsCleanup() = 0;
    // The system's message for a Windows error code, a byte per unit (the low byte of each).
    virtual std::string ErrorText(uint32_t code) = 0;
    // A UTF-8 line for the debugger.
    virtual void DebugOutput(const std::string& text) = 0;
};

}  // namespace USB
