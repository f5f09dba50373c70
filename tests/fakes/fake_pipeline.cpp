#include "fakes/fake_pipeline.h"

#include <cstdint>
#include <cstring>
#include <new>

#include "pipeline/adb_loader.h"
#include "service/USB_Service.h"
#include "support/sys_utils.h"
#include "support/usb_log.h"

namespace USB {
namespace Fake {

namespace {

AdbBridge* g_bridge = nullptr;

int USB_CDECL BridgeInit() { return g_bridge ? ++g_bridge->inits, 0 : 0; }
int USB_CDECL BridgeStart() { return g_bridge ? g_bridge->NextStart() : 0; }
int USB_CDECL BridgeNoArgs() { return 0; }
int USB_CDECL BridgeGetDevices(char* buffer, int size)
{
    if (!g_bridge || !buffer || size <= 0)
        return -1;
    g_bridge->sizesPassed.push_back(size);
    const std::string text = g_bridge->NextListing();
    const size_t n = text.size() < static_cast<size_t>(size) ? text.size() : static_cast<size_t>(size);
    std::memcpy(buffer, text.data(), n);  // a full buffer is left without NUL on purpose
    if (n < static_cast<size_t>(size))
        buffer[n] = '\0';
    return static_cast<int>(n);
}

template <typename Fn>
void* Entry(Fn fn)
{
    return reinterpret_cast<void*>(fn);
}

}  // namespace

void ReloadAdb()
{
    // Made first, when it was not yet, with nothing to load: only the reload counts as a load.
    Library none;
    LibraryPort* current = GetPorts().library;
    GetPorts().library = &none;
    UsbAdb& adb = TheAdb();
    GetPorts().library = current;
    adb.~UsbAdb();
    new (&adb) UsbAdb();
}

AdbBridge::AdbBridge(Library& library, bool withInit, bool withGetDevices) : m_library(library)
{
    g_bridge = this;
    std::map<std::string, void*> table;
    if (withInit)
        table["IUSB_Init"] = Entry(&BridgeInit);
    table["IUSB_Exit"] = Entry(&BridgeNoArgs);
    table["IUSB_AdbServerStart"] = Entry(&BridgeStart);
    table["IUSB_AdbServerExit"] = Entry(&BridgeNoArgs);
    if (withGetDevices)
        table["IUSB_GetDevices"] = Entry(&BridgeGetDevices);
    table["IUSB_KillServer"] = Entry(&BridgeNoArgs);
    table["IUSB_Vesion"] = Entry(&BridgeNoArgs);
    library.libraries["AdbBridge.dll"] = table;
    ReloadAdb();
}

AdbBridge::~AdbBridge()
{
    m_library.libraries.erase("AdbBridge.dll");
    ReloadAdb();
    g_bridge = nullptr;
}

AdbBridge* AdbBridge::Current() { return g_bridge; }

void AdbBridge::Script(std::vector<std::string> texts)
{
    m_texts.assign(texts.begin(), texts.end());
    if (m_texts.empty())
        m_texts.push_back(std::string());
}

void AdbBridge::StartResults(std::vector<int> results)
{
    m_starts.assign(results.begin(), results.end());
    if (m_starts.empty())
        m_starts.push_back(0);
}

int AdbBridge::NextStart()
{
    ++starts;
    const int result = m_starts.front();
    if (m_starts.size() > 1)
        m_starts.pop_front();
    return result;
}

std::string AdbBridge::NextListing()
{
    ++listings;
    if (beforeListing)
        beforeListing(listings);
    const std::string text = m_texts.front();
    if (m_texts.size() > 1)
        m_texts.pop_front();
    return text;
}

// ---- processes -----------------------------------------------------------------------

void Processes::Add(uint32_t pid, const std::wstring& exeName, bool inspectable)
{
    processes.push_back(Proc{pid, exeName, inspectable});
}

void Processes::Listen(uint32_t pid, uint16_t port, uint32_t state)
{
    TcpOwnerRow row;
    row.state = state;
    row.localPort = port;
    row.ownerPid = pid;
    tcpRows.push_back(row);
}

TcpTableResult Processes::ReadTcpOwnerTable(std::vector<TcpOwnerRow>& rows, uint32_t& error)
{
    error = tableError;
    if (tableResult == TcpTableResult::Ok)
        rows = tcpRows;
    return tableResult;
}

std::vector<uint32_t> Processes::ListProcessIds(size_t limit)
{
    std::vector<uint32_t> ids;
    for (const Proc& p : processes)
        if (ids.size() < limit)
            ids.push_back(p.pid);
    return ids;
}

bool Processes::QueryProcessImage(uint32_t pid, std::string& baseName, std::string& path)
{
    for (const Proc& p : processes) {
        if (p.pid != pid)
            continue;
        if (!p.inspectable)
            return false;
        baseName = WideToNarrow(p.exeName);
        path = "C:\\Programs\\" + baseName;
        return true;
    }
    return false;
}

std::vector<ProcessEntry> Processes::SnapshotProcesses()
{
    std::vector<ProcessEntry> out;
    for (const Proc& p : processes)
        out.push_back(ProcessEntry{p.pid, WideToNarrow(p.exeName)});
    return out;
}

PrivilegeOutcome Processes::EnableDebugPrivilege() { return privilege; }

ProcessPort::Handle Processes::OpenProcessAllAccess(uint32_t pid)
{
    for (const Proc& p : processes) {
        if (p.pid == pid) {
            ++openHandles;
            return reinterpret_cast<Handle>(static_cast<uintptr_t>(pid) + 1);
        }
    }
    return nullptr;
}

void Processes::QueryExitCode(Handle, uint32_t& exitCode, uint32_t& lastError)
{
    exitCode = 259;
    lastError = 0;
}

bool Processes::Terminate(Handle process, uint32_t exitCode)
{
    const uint32_t pid = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(process) - 1);
    for (auto it = processes.begin(); it != processes.end(); ++it) {
        if (it->pid == pid) {
            processes.erase(it);
            terminated.emplace_back(pid, exitCode);
            for (auto row = tcpRows.begin(); row != tcpRows.end();)
                row = row->ownerPid == pid ? tcpRows.erase(row) : row + 1;
            return true;
        }
    }
    return false;
}

void Processes::Close(Handle) { --openHandles; }

bool Processes::ShellOpenHidden(const std::string& file)
{
    shellOpened.push_back(file);
    return true;
}

ConnectResult Processes::ConnectTest(const std::string&, uint16_t, uint32_t timeoutMs)
{
    connectTimeouts.push_back(timeoutMs);
    return connectResult;
}

// ---- recorders -----------------------------------------------------------------------

UiRecorder* UiRecorder::s_current = nullptr;

UiRecorder::UiRecorder(UsbService& service) : m_service(service)
{
    s_current = this;
    service.SetCallback(&UiRecorder::Record);
}

UiRecorder::~UiRecorder()
{
    m_service.SetCallback(nullptr);
    s_current = nullptr;
}

void USB_CDECL UiRecorder::Record(int32_t id, const char* json)
{
    if (UiRecorder* self = s_current) {
        std::lock_guard<std::mutex> g(self->m_mutex);
        self->m_messages.emplace_back(id, json ? json : "");
    }
}

std::vector<std::pair<int, std::string>> UiRecorder::Messages()
{
    std::lock_guard<std::mutex> g(m_mutex);
    return m_messages;
}

std::vector<int> UiRecorder::Ids()
{
    std::vector<int> ids;
    for (const auto& m : Messages())
        ids.push_back(m.first);
    return ids;
}

size_t UiRecorder::Count(int id)
{
    size_t n = 0;
    for (const auto& m : Messages())
        n += m.first == id;
    return n;
}

void UiRecorder::Clear()
{
    std::lock_guard<std::mutex> g(m_mutex);
    m_messages.clear();
}

RelayRecorder* RelayRecorder::s_current = nullptr;

RelayRecorder::RelayRecorder()
{
    s_current = this;
    LogRelay relay;
    relay.sendMsg = &RelayRecorder::Send;
    SetLogRelay(relay);
}

RelayRecorder::~RelayRecorder()
{
    SetLogRelay(LogRelay{});
    s_current = nullptr;
}

void RelayRecorder::Send(const char* text)
{
    if (!s_current)
        return;
    s_current->sent.push_back(text ? text : "");
    if (s_current->onSend)
        s_current->onSend(s_current->sent.back());
}

}  // namespace Fake
}  // namespace USB
