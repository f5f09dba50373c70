// Loading dynamic libraries and finding their symbols.
#pragma once

namespace USB {

// Dynamic libraries (the log relay, the ADB companion, system libraries).
class LibraryPort {
public:
    virtual ~LibraryPort() = default;
    virtual void* Load(const char* name) = 0;  // a name or a full UTF-8 path; null when not loaded
    virtual void* Symbol(void* module, const char* name) = 0;
    virtual void Free(void* module) = 0;
};

}  // namespace USB
