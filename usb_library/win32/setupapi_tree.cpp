#include "win32/setupapi_tree.h"

#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include <cstring>
#include <vector>

#include "win32/wide_text.h"

namespace USB {

namespace {

// {F72FE0D4-CBCB-407D-8814-9ED673D0DD6B}: the Android ADB driver's interface class.
const GUID kAdbDriverInterface = {0xf72fe0d4, 0xcbcb, 0x407d, {0x88, 0x14, 0x9e, 0xd6, 0x73, 0xd0, 0xdd, 0x6b}};

// DEVPKEY_Device_Parent, spelled out: the SDK's definition needs INITGUID in one unit.
const DEVPROPKEY kDeviceParent = {{0x4340a6c5, 0x93fa, 0x4706, {0x97, 0x2c, 0x7b, 0x64, 0x80, 0x08, 0xa5, 0xa7}}, 8};
const DEVPROPTYPE kPropertyString = 0x00000012;

// Every id and property is read into the same size of zeroed buffer.
const DWORD kBufferBytes = 520;

bool ReadInstanceId(HDEVINFO set, SP_DEVINFO_DATA& data, std::wstring& out)
{
    WCHAR buffer[kBufferBytes / sizeof(WCHAR)];
    std::memset(buffer, 0, sizeof(buffer));
    if (!SetupDiGetDeviceInstanceIdW(set, &data, buffer, kBufferBytes / sizeof(WCHAR), nullptr))
        return false;
    buffer[kBufferBytes / sizeof(WCHAR) - 1] = 0;
    out = buffer;
    return true;
}

// A property that cannot be read is empty text. Lists (REG_MULTI_SZ) come back joined.
std::wstring ReadProperty(HDEVINFO set, SP_DEVINFO_DATA& data, DWORD property, bool wholeList)
{
    WCHAR buffer[kBufferBytes / sizeof(WCHAR) + 1];
    std::memset(buffer, 0, sizeof(buffer));
    DWORD type = 0;
    DWORD got = 0;
    if (!SetupDiGetDeviceRegistryPropertyW(set, &data, property, &type, reinterpret_cast<BYTE*>(buffer), kBufferBytes,
                                           &got))
        return std::wstring();
    if (got > kBufferBytes)
        got = kBufferBytes;
    const size_t units = got / sizeof(WCHAR);
    std::wstring text;
    size_t i = 0;
    do {
        const size_t len = wcsnlen(buffer + i, units - i);
        text.append(buffer + i, len);
        i += len + 1;
    } while (wholeList && i < units && buffer[i] != 0);
    return text;
}

// The parent device's instance id: the device property, else the configuration manager
// (Wine answers only the property, and only when the registry holds it).
std::wstring ReadParentId(HDEVINFO set, SP_DEVINFO_DATA& data)
{
    WCHAR buffer[kBufferBytes / sizeof(WCHAR) + 1];
    std::memset(buffer, 0, sizeof(buffer));
    DEVPROPTYPE type = 0;
    if (SetupDiGetDevicePropertyW(set, &data, &kDeviceParent, &type, reinterpret_cast<BYTE*>(buffer), kBufferBytes,
                                  nullptr, 0) &&
        type == kPropertyString && buffer[0])
        return buffer;
    DEVINST parent = 0;
    if (CM_Get_Parent(&parent, data.DevInst, 0) != CR_SUCCESS)
        return std::wstring();
    std::memset(buffer, 0, sizeof(buffer));
    if (CM_Get_Device_IDW(parent, buffer, kBufferBytes / sizeof(WCHAR), 0) != CR_SUCCESS)
        return std::wstring();
    return buffer;
}

class SetupApiTree : public DeviceTreePort {
public:
    bool ListUsbDevices(std::vector<UsbNode>& out, uint32_t& error) override
    {
        out.clear();
        HDEVINFO set = SetupDiGetClassDevsW(nullptr, L"USB", nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_PROFILE);
        if (set == INVALID_HANDLE_VALUE) {
            error = GetLastError();
            return false;
        }
        SP_DEVINFO_DATA data;
        std::memset(&data, 0, sizeof(data));
        data.cbSize = sizeof(data);
        for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &data); ++index) {
            std::wstring instanceId;
            if (!ReadInstanceId(set, data, instanceId))
                continue;
            // Hosts read device paths and descriptions in the system's code page, as the
            // whitelist's descriptions come.
            UsbNode node;
            node.instanceId = WideToAnsi(instanceId);
            node.classGuid = WideToAnsi(ReadProperty(set, data, SPDRP_CLASSGUID, false));
            node.compatibleIds = WideToAnsi(ReadProperty(set, data, SPDRP_COMPATIBLEIDS, true));
            node.hardwareId = WideToAnsi(ReadProperty(set, data, SPDRP_HARDWAREID, false));
            node.description = WideToAnsi(ReadProperty(set, data, SPDRP_DEVICEDESC, false));
            node.parentId = WideToAnsi(ReadParentId(set, data));
            DEVINST child = 0;
            node.noChild = CM_Get_Child(&child, data.DevInst, 0) == CR_NO_SUCH_DEVNODE;
            out.push_back(node);
        }
        SetupDiDestroyDeviceInfoList(set);
        return true;
    }

    bool ListAdbDriverInterfaces(std::vector<std::string>& instanceIds, uint32_t& error) override
    {
        instanceIds.clear();
        HDEVINFO set =
            SetupDiGetClassDevsW(&kAdbDriverInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        if (set == INVALID_HANDLE_VALUE) {
            error = GetLastError();
            return false;
        }
        SP_DEVICE_INTERFACE_DATA iface;
        std::memset(&iface, 0, sizeof(iface));
        iface.cbSize = sizeof(iface);
        for (DWORD index = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &kAdbDriverInterface, index, &iface); ++index) {
            DWORD required = 0;
            SetupDiGetDeviceInterfaceDetailW(set, &iface, nullptr, 0, &required, nullptr);
            if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
                continue;
            std::vector<BYTE> detailBuffer(required, 0);
            auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(detailBuffer.data());
            detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
            SP_DEVINFO_DATA data;
            std::memset(&data, 0, sizeof(data));
            data.cbSize = sizeof(data);
            if (!SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, required, nullptr, &data))
                continue;
            std::wstring id;
            if (ReadInstanceId(set, data, id))
                instanceIds.push_back(WideToAnsi(id));
        }
        SetupDiDestroyDeviceInfoList(set);
        return true;
    }

    bool WaitNoPendingInstallEvents(uint32_t timeoutMs) override
    {
        return CMP_WaitNoPendingInstallEvents(timeoutMs) == WAIT_OBJECT_0;
    }
};

}  // namespace

DeviceTreePort& Win32DeviceTree()
{
    static SetupApiTree tree;
    return tree;
}

}  // namespace USB
