#include "sim_device.h"

#include <windows.h>
#include <dbt.h>

#include <cstdio>
#include <sstream>
#include <vector>

namespace sim {

namespace {

const wchar_t* const kEnum = L"System\\CurrentControlSet\\Enum\\USB\\";
const wchar_t* const kAdbClass = L"{f72fe0d4-cbcb-407d-8814-9ed673d0dd6b}";
const wchar_t* const kUsbInterfaceClass = L"{a5dcbf10-6530-11d2-901f-00c04fb951ed}";

std::wstring Widen(const std::string& s)
{
    return std::wstring(s.begin(), s.end());
}

std::wstring Hw(const Phone& p)
{
    return L"VID_" + p.vid + L"&PID_" + p.pid;
}
std::wstring InterfaceInstance(const Phone& p)
{
    return L"6&" + p.serial.substr(0, 8) + L"&0&0001";
}

bool SetString(HKEY key, const wchar_t* name, const std::wstring& value, DWORD type = REG_SZ)
{
    return RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

// MULTI_SZ from '|'-separated parts.
bool SetMulti(HKEY key, const wchar_t* name, const std::wstring& parts)
{
    std::wstring v = parts;
    for (auto& c : v)
        if (c == L'|')
            c = L'\0';
    v.push_back(L'\0');
    return SetString(key, name, v, REG_MULTI_SZ);
}

// The parent's instance id as Windows keeps it for every device (DEVPKEY_Device_Parent): the
// one source of an interface's parent that Wine answers.
bool WriteParent(const std::wstring& path, const std::wstring& parentId)
{
    HKEY key;
    const std::wstring sub = path + L"\\Properties\\{4340a6c5-93fa-4706-972c-7b648008a5a7}\\0008";
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, sub.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr))
        return false;
    const bool ok = SetString(key, nullptr, parentId, 0xffff0012);  // DEVPROP_TYPE_STRING
    RegCloseKey(key);
    return ok;
}

bool WriteNode(const std::wstring& path, const std::wstring& desc, const std::wstring& cls, const std::wstring& hw,
               const std::wstring& compat)
{
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr))
        return false;
    bool ok = SetString(key, L"DeviceDesc", desc) && SetString(key, L"ClassGUID", cls) &&
              SetMulti(key, L"HardwareID", hw) && SetMulti(key, L"CompatibleIDs", compat);
    RegCloseKey(key);
    return ok;
}

unsigned g_listenerWaitMs = 0;

void Notify(const Phone& p, WPARAM event)
{
    // The library's window may still be coming up (a fresh prefix takes seconds): a notification
    // sent before it exists would be lost, and the simulated device never heard of.
    HWND window = nullptr;
    for (unsigned waited = 0; !(window = FindWindowW(L"lolclass", nullptr)) && waited < g_listenerWaitMs; waited += 50)
        Sleep(50);
    if (!window)
        return;
    const std::wstring path = InterfacePath(p);
    std::vector<char> buffer(sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) + path.size() * sizeof(wchar_t), 0);
    auto* header = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(buffer.data());
    header->dbcc_size = static_cast<DWORD>(buffer.size());
    header->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    memcpy(header->dbcc_name, path.c_str(), (path.size() + 1) * sizeof(wchar_t));
    SendMessageW(window, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(header));
}

}  // namespace

void WaitForListener(unsigned ms)
{
    g_listenerWaitMs = ms;
}

std::wstring InterfacePath(const Phone& p)
{
    return L"\\\\?\\USB#" + Hw(p) + L"#" + p.serial + L"#" + kUsbInterfaceClass;
}

Phone Parse(const std::string& args)
{
    Phone p;
    std::istringstream in(args);
    std::string word;
    int position = 0;
    while (in >> word) {
        if (word == "noadb")
            p.adbInterface = false;
        else if (word == "nodriver")
            p.adbDriver = false;
        else if (word == "keyboard")
            p.keyboard = true;
        else if (word == "mouse")
            p.mouse = true;
        else if (position == 0) {
            p.vid = Widen(word);
            ++position;
        } else if (position == 1) {
            p.pid = Widen(word);
            ++position;
        } else if (position == 2) {
            p.serial = Widen(word);
            ++position;
        }
    }
    return p;
}

namespace {

// The ADB driver interface of one interface instance, as SetupAPI lists device interfaces.
bool RegisterAdbInterface(const std::wstring& hw, const std::wstring& instancePart)
{
    const std::wstring instance = L"USB\\" + hw + L"&MI_01\\" + instancePart;
    const std::wstring link = L"##?#USB#" + hw + L"&MI_01#" + instancePart + L"#" + kAdbClass;
    const std::wstring base =
        std::wstring(L"System\\CurrentControlSet\\Control\\DeviceClasses\\") + kAdbClass + L"\\" + link;
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, base.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr))
        return false;
    SetString(key, L"DeviceInstance", instance);
    RegCloseKey(key);
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, (base + L"\\#").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr))
        return false;
    SetString(key, L"SymbolicLink", L"\\\\?\\" + link.substr(4));
    RegCloseKey(key);
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, (base + L"\\#\\Control").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr))
        return false;
    DWORD linked = 1;
    RegSetValueExW(key, L"Linked", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&linked), sizeof(linked));
    RegCloseKey(key);
    return true;
}

}  // namespace

bool AddDriver(const Phone& p)
{
    return RegisterAdbInterface(Hw(p), InterfaceInstance(p));
}

bool AddDriverForModel(const std::wstring& vid, const std::wstring& pid)
{
    const std::wstring hw = L"VID_" + vid + L"&PID_" + pid;
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, (kEnum + hw + L"&MI_01").c_str(), 0, KEY_READ, &key))
        return false;
    bool any = false;
    wchar_t name[256];
    for (DWORD i = 0;; ++i) {
        DWORD size = 256;
        if (RegEnumKeyExW(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        any = RegisterAdbInterface(hw, name) || any;
    }
    RegCloseKey(key);
    return any;
}

bool Plug(const Phone& p)
{
    const std::wstring hw = Hw(p);
    bool ok;
    if (p.keyboard || p.mouse) {
        ok = WriteNode(kEnum + hw + L"\\" + p.serial, L"USB Input Device", L"{745a17a0-74d3-11d0-b6fe-00a0c90f57da}",
                       L"USB\\" + hw,
                       p.mouse ? L"USB\\Class_03&SubClass_01&Prot_02|USB\\Class_03"
                               : L"USB\\Class_03&SubClass_01|USB\\Class_03");
    } else {
        ok =
            WriteNode(kEnum + hw + L"\\" + p.serial, L"USB Composite Device", L"{36fc9e60-c465-11cf-8056-444553540000}",
                      L"USB\\" + hw + L"&REV_0100|USB\\" + hw, L"USB\\COMPOSITE|USB\\Class_00");
        const std::wstring adb = kEnum + hw + L"&MI_01\\" + InterfaceInstance(p);
        if (ok && p.adbInterface)
            ok = WriteNode(adb, p.description, L"{3f966bd9-fa04-4ec5-991c-d326973b5128}",
                           L"USB\\" + hw + L"&REV_0100&MI_01|USB\\" + hw + L"&MI_01",
                           L"USB\\Class_ff&SubClass_42&Prot_01|USB\\Class_ff&SubClass_42|USB\\Class_ff") &&
                 WriteParent(adb, L"USB\\" + hw + L"\\" + p.serial);
        if (ok && p.adbInterface && p.adbDriver)
            ok = AddDriver(p);
    }
    Notify(p, DBT_DEVICEARRIVAL);
    return ok;
}

bool Unplug(const Phone& p)
{
    const std::wstring hw = Hw(p);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, (kEnum + hw + L"\\" + p.serial).c_str());
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, (kEnum + hw + L"&MI_01\\" + InterfaceInstance(p)).c_str());
    std::wstring link = L"##?#USB#" + hw + L"&MI_01#" + InterfaceInstance(p) + L"#" + kAdbClass;
    RegDeleteTreeW(
        HKEY_LOCAL_MACHINE,
        (std::wstring(L"System\\CurrentControlSet\\Control\\DeviceClasses\\") + kAdbClass + L"\\" + link).c_str());
    Notify(p, DBT_DEVICEREMOVECOMPLETE);
    return true;
}

}  // namespace sim
