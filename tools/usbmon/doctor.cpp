// usbmon doctor: what a support person asks for, on one screen or as one JSON document. It asks
// the same code the library runs (linked in, not through the DLL) and never starts the service.
#include "doctor.h"

#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <vector>

#include "cloud/cloud_client.h"
#include "discovery/device_scan.h"
#include "identification/whitelist.h"
#include "identification/phone_decision.h"
#include "pipeline/adb_loader.h"
#include "pipeline/adb_server.h"
#include "support/config.h"
#include "support/md5.h"
#include "support/json_utils.h"
#include "support/ports/registry_port.h"
#include "support/sys_utils.h"
#include "support/usb_log.h"
#include "user_lines.h"

namespace doctor {

namespace {

using namespace USB;

std::wstring Wide(const std::string& utf8)
{
    std::wstring out(utf8.size() + 1, L'\0');
    out.resize(MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, &out[0], static_cast<int>(out.size())));
    if (!out.empty())
        out.pop_back();
    return out;
}

// "a.b.c.d" from the file's version resource; "" when it has none.
std::string FileVersion(const std::string& path)
{
    const std::wstring file = Wide(path);
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(file.c_str(), &ignored);
    std::vector<char> block(size);
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (!size || !GetFileVersionInfoW(file.c_str(), 0, size, block.data()) ||
        !VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &length) || length < sizeof(*info))
        return std::string();
    char text[64];
    std::snprintf(text, sizeof(text), "%u.%u.%u.%u", HIWORD(info->dwFileVersionMS), LOWORD(info->dwFileVersionMS),
                  HIWORD(info->dwFileVersionLS), LOWORD(info->dwFileVersionLS));
    return text;
}

// {"path","md5"}; the digest is "" when the file is missing or unreadable.
Json::Value FileFacts(const std::string& path)
{
    Json::Value facts(Json::objectValue);
    facts["path"] = path;
    std::string bytes;
    facts["md5"] = ReadWholeFile(path, kWhitelistFileCap, false, bytes) == FileRead::Ok ? MD5::Of(bytes) : "";
    return facts;
}

Json::Value AdbServer(Json::Value& listing)
{
    Json::Value server(Json::objectValue);
    server["port"] = kAdbPort;
    server["answers"] = ProbeAdbPort();
    const uint32_t pid = FindAdbServerPid();
    server["pid"] = pid == kNoListener ? Json::Value() : Json::Value(pid);
    server["program"] = pid == kNoListener ? "" : GetProcessName(pid);
    UsbAdb& adb = TheAdb();
    server["bridge_loaded"] = adb.m_module != nullptr;
    server["version"] = Json::Value();
    if (adb.IUSB_Init && adb.IUSB_Vesion && adb.IUSB_GetDevices && adb.IUSB_Init() == 0) {
        const int version = adb.IUSB_Vesion();
        if (version >= 0)
            server["version"] = version;
        std::vector<char> text(16384);
        if (adb.IUSB_GetDevices(text.data(), static_cast<int>(text.size())) >= 0) {
            // "serial\tstate\n" lines
            std::string lines = text.data();
            for (size_t at = 0, end; (end = lines.find('\n', at)) != std::string::npos; at = end + 1) {
                const std::string line = lines.substr(at, end - at);
                const size_t tab = line.find('\t');
                if (tab != std::string::npos)
                    listing[line.substr(0, tab)] = line.substr(tab + 1);
            }
        }
        if (adb.IUSB_Exit)
            adb.IUSB_Exit();
    }
    server["devices"] = listing;
    return server;
}

// The message that ended the flow of a phone found in this state (its user line says what to
// do); 0 for a phone that is online, or for no phone.
int StuckAt(const Json::Value& device)
{
    const std::string state = device["adb_state"].asString();
    return !device["phone"].asBool()           ? 0
           : !device["adb_interface"].asBool() ? USB_WM_ADB_OPEN
           : !device["adb_driver"].asBool()    ? USB_WM_DRIVER_INSTALLING_FAIL
           : state == "unauthorized"           ? USB_WM_DEVICE_UNAUTHORIZED
           : state == "offline"                ? USB_WM_PHONE_ADBDEBUG_EXCEPTION
           : state == "not listed"             ? USB_WM_RESCAN_PHONE_BYADB
                                               : 0;
}

// The library's own order for a device that arrives: the exact ids (whitelist, then cloud),
// the neighbouring product ids, then the device's ADB interfaces.
Json::Value Device(const UsbNode& node, PhoneDecision& decision, WhiteList& whiteList, const Json::Value& listing)
{
    Json::Value device(Json::objectValue);
    device["id"] = node.instanceId;
    device["description"] = node.description;
    ScanCandidate c;
    if (!TakeCandidate(node, c)) {
        device["phone"] = false;
        const bool ids = c.parts.key.find("VID_") != std::string::npos && c.parts.key.find("PID_") != std::string::npos;
        device["why"] = ids ? "an input device" : "no vendor and product id";
        return device;
    }
    if (IsInterfaceId(c.id)) {
        device["interface_of"] = node.parentId;
        device["adb_class"] = node.compatibleIds.find("Class_ff&SubClass_42") != std::string::npos ||
                              node.compatibleIds.find("Class_FF&SubClass_42") != std::string::npos;
        return device;
    }
    PhoneSystemInfo info, listed;
    PhoneInfos interfaces;
    std::string why;
    if (decision.CheckExactFull(info, c.hashForm))
        why = whiteList.Query(c.parts.key, listed) ? "whitelist" : "cloud";
    else if (decision.CheckNeighbourPids(info, c.hashForm, false))
        why = "neighbouring product id (whitelist or cloud)";
    else if (decision.CheckBySystem(c.hashForm, interfaces, 0))
        why = "its own ADB interface";
    interfaces.clear();
    device["phone"] = !why.empty();
    if (why.empty())
        why = !AcceptIds(c.parts.vid, c.parts.pid) ? "ids are not four hex digits"
              : !whiteList.HasVendor(c.parts.vid)  ? "vendor " + c.parts.vid + " is not in the vendor list"
                                                   : "not in the whitelist or the cloud, nor a neighbouring id";
    device["why"] = why;
    device["adb_interface"] = FindAdbInterfaces(c.parts.key, interfaces, c.parts.serial);
    device["adb_driver"] = HasAdbDriverInterface(c.parts.key, c.parts.serial);
    device["adb_state"] = listing.isMember(c.parts.serial) ? listing[c.parts.serial] : Json::Value("not listed");
    if (const int id = StuckAt(device)) {
        device["stuck"]["id"] = id;
        device["stuck"]["user"] = usbmon::UserLine(id);
    }
    return device;
}

Json::Value Files(WhiteList& whiteList)
{
    Json::Value files(Json::objectValue);
    const std::string exeDir = GetExeDirectory();
    files["data_directory"] = GetDataDirectory();
    UsbConfig config;
    files["config"] = FileFacts(exeDir + "config_ini.txt");
    files["config"]["driver_host"] = config.DriverHost();
    files["config"]["build_version"] = config.BuildVersion();
    files["whitelist"] = FileFacts(exeDir + "whitelist.json");
    files["cloud_whitelist"] = FileFacts(GetDataDirectory() + "cloudwhitelist.json");
    std::string value;
    RegistryPort* registry = GetPorts().registry;
    const bool hasValue = registry && registry->ReadWhiteListValue(value) == RegistryValue::Read;
    files["registry_whitelist"]["path"] = "HKCU\\SOFTWARE\\Parvello\\white-list";
    files["registry_whitelist"]["md5"] = hasValue ? MD5::Of(value) : "";
    files["whitelist_in_use"] = whiteList.Path();
    return files;
}

void Add(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Add(std::string& out, const char* format, ...)
{
    char line[2048];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    if (n > 0)
        out.append(line, std::min(static_cast<size_t>(n), sizeof(line) - 1));
}

// Winsock for the port probe, held for the report's length.
struct Sockets {
    explicit Sockets(SystemPort* system) : m_system(system)
    {
        if (m_system)
            m_system->SocketsStartup();
    }
    ~Sockets()
    {
        if (m_system)
            m_system->SocketsCleanup();
    }
    SystemPort* m_system;
};

const char* YesNo(const Json::Value& v)
{
    return v.asBool() ? "yes" : "no";
}

std::string OrNone(const Json::Value& v)
{
    return v.isNull() || v.asString().empty() ? "-" : v.asString();
}

void PrintText(const Json::Value& d, std::string& out)
{
    const Json::Value& s = d["adb_server"];
    Add(out, "usbhelper.dll %s, AdbBridge.dll %s, usbmon.exe %s; %s %s\n", OrNone(d["versions"]["usbhelper"]).c_str(),
        OrNone(d["versions"]["adb_bridge"]).c_str(), OrNone(d["versions"]["usbmon"]).c_str(),
        d["system"]["os"].asCString(), d["system"]["platform"].asCString());
    Add(out, "ADB server 127.0.0.1:%u: answers %s, version %s, held by %s (pid %s), bridge loaded %s\n",
        s["port"].asUInt(), YesNo(s["answers"]), OrNone(s["version"]).c_str(), OrNone(s["program"]).c_str(),
        OrNone(s["pid"]).c_str(), YesNo(s["bridge_loaded"]));
    for (const std::string& serial : s["devices"].getMemberNames())
        Add(out, "  %s\t%s\n", serial.c_str(), s["devices"][serial].asCString());
    Add(out, "USB devices: %u\n", d["devices"].size());
    for (const Json::Value& v : d["devices"]) {
        Add(out, "  %s \"%s\"\n", v["id"].asCString(), v["description"].asCString());
        if (v.isMember("interface_of")) {
            Add(out, "    interface of %s, ADB class %s\n", OrNone(v["interface_of"]).c_str(), YesNo(v["adb_class"]));
        } else if (v.isMember("adb_interface")) {
            Add(out, "    phone %s (%s); ADB interface %s, driver %s, server %s\n", YesNo(v["phone"]),
                v["why"].asCString(), YesNo(v["adb_interface"]), YesNo(v["adb_driver"]), v["adb_state"].asCString());
            if (v.isMember("stuck"))
                Add(out, "    stuck (%d): %s\n", v["stuck"]["id"].asInt(), v["stuck"]["user"].asCString());
        } else {
            Add(out, "    phone no (%s)\n", v["why"].asCString());
        }
    }
    const Json::Value& f = d["files"];
    Add(out, "data directory %s\n", f["data_directory"].asCString());
    Add(out, "driver host %s, build version %s\n", f["config"]["driver_host"].asCString(),
        OrNone(f["config"]["build_version"]).c_str());
    for (const char* name : {"config", "whitelist", "cloud_whitelist", "registry_whitelist"})
        Add(out, "  %-18s %-32s %s\n", name, f[name]["md5"].asString().empty() ? "(none)" : f[name]["md5"].asCString(),
            f[name]["path"].asCString());
    Add(out, "whitelist in use %s\n", f["whitelist_in_use"].asCString());
}

}  // namespace

bool Report(bool json, std::string& out)
{
    out.clear();
    try {
        Sockets sockets(GetPorts().system);
        Json::Value d(Json::objectValue);
        const std::string exeDir = GetExeDirectory();
        d["versions"]["usbhelper"] = FileVersion(exeDir + "usbhelper.dll");
        d["versions"]["adb_bridge"] = FileVersion(exeDir + "AdbBridge.dll");
        d["versions"]["usbmon"] = FileVersion(exeDir + "usbmon.exe");
        d["system"]["os"] = GetOsName();
        d["system"]["platform"] = GetPlatformName();
        Json::Value listing(Json::objectValue);
        d["adb_server"] = AdbServer(listing);

        UsbConfig config;
        WhiteList whiteList;
        NotPhoneCache notPhoneCache;
        CloudClient cloud(config.DriverHost());
        whiteList.EnsureLoaded();
        PhoneDecision decision(whiteList, notPhoneCache, cloud);
        d["devices"] = Json::Value(Json::arrayValue);
        for (const UsbNode& node : ListUsbNodes())
            d["devices"].append(Device(node, decision, whiteList, listing));
        d["files"] = Files(whiteList);

        if (json) {
            Json::StreamWriterBuilder writer;
            writer["indentation"] = "  ";
            out = Json::writeString(writer, d) + "\n";
        } else {
            PrintText(d, out);
        }
        return true;
    } catch (const std::exception& e) {
        out = std::string("usbmon doctor: ") + e.what() + "\n";
    } catch (...) {
        out = "usbmon doctor: failed\n";
    }
    return false;
}

}  // namespace doctor
