// Simulated USB phones for diagnostics and tests: device-tree entries in the registry (as
// SetupAPI reads them) and the arrival/removal notification sent to the listener window.
#pragma once

#include <string>

namespace sim {

struct Phone {
    std::wstring vid = L"18D1";
    std::wstring pid = L"4EE2";
    std::wstring serial = L"0123456789ABCDEF";
    std::wstring description = L"Android Phone";
    bool adbInterface = true;  // the MI_01 interface with the ADB class
    bool adbDriver = true;     // the ADB driver interface is registered
    bool keyboard = false;     // a HID-class device instead of a phone
    bool mouse = false;        // the same, as a mouse
};

Phone Parse(const std::string& args);  // "VID PID SERIAL [noadb] [nodriver] [keyboard|mouse]"
bool Plug(const Phone& phone);         // registry entries + DBT_DEVICEARRIVAL
bool Unplug(const Phone& phone);       // DBT_DEVICEREMOVECOMPLETE + registry entries removed
bool AddDriver(const Phone& phone);    // ADB driver interface only (what an installer adds)
// The ADB driver interface for every plugged interface of a model.
bool AddDriverForModel(const std::wstring& vid, const std::wstring& pid);
std::wstring InterfacePath(const Phone& phone);
// How long a notification waits for the library's window to exist (0: it is sent only if the
// window is there). A host that started the library sets it: the window may take seconds.
void WaitForListener(unsigned ms);

}  // namespace sim
