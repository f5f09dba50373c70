// Simulated USB devices for Wine: SetupAPI there lists the device instances written under
// HKLM\System\CurrentControlSet\Enum\USB and the interfaces under Control\DeviceClasses.
// Every test removes what it wrote.
#pragma once

#include <windows.h>

#include <string>

namespace sim {

const wchar_t* const kEnumUsb = L"System\\CurrentControlSet\\Enum\\USB\\";
const wchar_t* const kDeviceClasses = L"System\\CurrentControlSet\\Control\\DeviceClasses\\";
const wchar_t* const kAdbDriverClass = L"{f72fe0d4-cbcb-407d-8814-9ed673d0dd6b}";
const wchar_t* const kCompositeClass = L"{36fc9e60-c465-11cf-8056-444553540000}";
const wchar_t* const kAndroidClass = L"{3f966bd9-fa04-4ec5-991c-d326973b5128}";
const wchar_t* const kHidClass = L"{745a17a0-74d3-11d0-b6fe-00a0c90f57da}";

inline bool SetText(HKEY key, const wchar_t* name, const std::wstring& value, DWORD type = REG_SZ)
{
    return RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

// REG_MULTI_SZ from '|'-separated strings.
inline bool SetList(HKEY key, const wchar_t* name, std::wstring parts)
{
    for (auto& c : parts)
        if (c == L'|')
            c = L'\0';
    parts.push_back(L'\0');
    return SetText(key, name, parts, REG_MULTI_SZ);
}

inline bool WriteNode(const std::wstring& path, const std::wstring& description, const std::wstring& classGuid,
                      const std::wstring& hardwareIds, const std::wstring& compatibleIds)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr))
        return false;
    const bool ok = SetText(key, L"DeviceDesc", description) && SetText(key, L"ClassGUID", classGuid) &&
                    SetList(key, L"HardwareID", hardwareIds) && SetList(key, L"CompatibleIDs", compatibleIds);
    RegCloseKey(key);
    return ok;
}

// The parent's instance id as Windows keeps it for every device (DEVPKEY_Device_Parent), the
// one source of an interface's parent that Wine answers.
inline bool WriteParent(const std::wstring& nodePath, const std::wstring& parentId)
{
    HKEY key = nullptr;
    const std::wstring path = nodePath + L"\\Properties\\{4340a6c5-93fa-4706-972c-7b648008a5a7}\\0008";
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr))
        return false;
    const bool ok = SetText(key, nullptr, parentId, 0xffff0012);  // DEVPROP_TYPE_STRING
    RegCloseKey(key);
    return ok;
}

inline std::wstring Hw(const std::wstring& vid, const std::wstring& pid)
{
    return L"VID_" + vid + L"&PID_" + pid;
}

inline std::wstring AdbInterfaceInstance(const std::wstring& vid, const std::wstring& pid)
{
    return L"USB\\" + Hw(vid, pid) + L"&MI_01\\6&2A3B4C5D&0&0001";
}

inline std::wstring AdbDriverLinkKey(const std::wstring& vid, const std::wstring& pid)
{
    return std::wstring(kDeviceClasses) + kAdbDriverClass + L"\\##?#USB#" + Hw(vid, pid) +
           L"&MI_01#6&2A3B4C5D&0&0001#" + kAdbDriverClass;
}

// A composite phone; with adb, its ADB interface (MI_01) as well.
inline bool PlugPhone(const std::wstring& vid, const std::wstring& pid, const std::wstring& serial, bool adb,
                      const std::wstring& adbDescription = L"Android ADB Interface")
{
    const std::wstring hw = Hw(vid, pid);
    bool ok = WriteNode(kEnumUsb + hw + L"\\" + serial, L"USB Composite Device", kCompositeClass,
                        L"USB\\" + hw + L"&REV_0100|USB\\" + hw, L"USB\\COMPOSITE|USB\\Class_00");
    const std::wstring adbNode = std::wstring(L"System\\CurrentControlSet\\Enum\\") + AdbInterfaceInstance(vid, pid);
    if (ok && adb)
        ok = WriteNode(adbNode, adbDescription, kAndroidClass,
                       L"USB\\" + hw + L"&REV_0100&MI_01|USB\\" + hw + L"&MI_01",
                       L"USB\\Class_ff&SubClass_42&Prot_01|USB\\Class_ff&SubClass_42|USB\\Class_ff") &&
             WriteParent(adbNode, L"USB\\" + hw + L"\\" + serial);
    return ok;
}

inline bool PlugKeyboard(const std::wstring& vid, const std::wstring& pid, const std::wstring& instance)
{
    const std::wstring hw = Hw(vid, pid);
    return WriteNode(kEnumUsb + hw + L"\\" + instance, L"USB Input Device", kHidClass, L"USB\\" + hw,
                     L"USB\\Class_03&SubClass_01&Prot_01|USB\\Class_03");
}

// The ADB driver's interface on the phone's MI_01 interface.
inline bool AddAdbDriver(const std::wstring& vid, const std::wstring& pid)
{
    const std::wstring base = AdbDriverLinkKey(vid, pid);
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, base.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr))
        return false;
    bool ok = SetText(key, L"DeviceInstance", AdbInterfaceInstance(vid, pid));
    RegCloseKey(key);
    if (!ok || RegCreateKeyExW(HKEY_LOCAL_MACHINE, (base + L"\\#").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                               &key, nullptr))
        return false;
    ok = SetText(key, L"SymbolicLink", L"\\\\?\\USB#" + Hw(vid, pid) + L"&MI_01#6&2A3B4C5D&0&0001#" + kAdbDriverClass);
    RegCloseKey(key);
    if (!ok || RegCreateKeyExW(HKEY_LOCAL_MACHINE, (base + L"\\#\\Control").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                               nullptr, &key, nullptr))
        return false;
    DWORD linked = 1;
    ok = RegSetValueExW(key, L"Linked", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&linked), sizeof(linked)) ==
         ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
}

inline void RemoveAdbDriver(const std::wstring& vid, const std::wstring& pid)
{
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, AdbDriverLinkKey(vid, pid).c_str());
}

// Every instance of this VID/PID, and of its interfaces, with its ADB driver interface.
inline void Unplug(const std::wstring& vid, const std::wstring& pid)
{
    RemoveAdbDriver(vid, pid);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, (kEnumUsb + Hw(vid, pid) + L"&MI_01").c_str());
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, (kEnumUsb + Hw(vid, pid)).c_str());
}

// The whitelist value in HKCU\SOFTWARE\Parvello; empty text removes it.
inline void SetWhiteListValue(const std::string& json)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\Parvello", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr))
        return;
    if (json.empty())
        RegDeleteValueW(key, L"white-list");
    else
        RegSetValueExA(key, "white-list", 0, REG_SZ, reinterpret_cast<const BYTE*>(json.c_str()),
                       static_cast<DWORD>(json.size() + 1));
    RegCloseKey(key);
}

}  // namespace sim
