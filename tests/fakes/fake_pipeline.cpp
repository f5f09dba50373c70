#include "fakes/fake_pipeline.h"
#include "fakes/transcript.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <regex>

#include "pipeline/adb_loader.h"
#include "support/file_io.h"
#include "support/sys_utils.h"
#include "support/usb_log.h"
#include "usbhelper.h"

namespace USB {
namespace Fake {

namespace {

AdbBridge* g_bridge = nullptr;

template <typename T>
T Next(std::deque<T>& queue)
{
    const T value = queue.front();
    if (queue.size() > 1)
        queue.pop_front();
    return value;
}

int USB_CDECL BridgeInit()
{
    return 0;
}
int USB_CDECL BridgeStart()
{
    return g_bridge ? Next(g_bridge->starts) : 0;
}
int USB_CDECL BridgeGetDevices(char* buffer, int size)
{
    return g_bridge ? g_bridge->List(buffer, size) : -1;
}
int USB_CDECL BridgeWait(unsigned last, unsigned timeoutMs, unsigned* generation)
{
    return g_bridge ? g_bridge->WaitForChange(last, timeoutMs, generation) : IUSB_ERR_CONNECT;
}
int USB_CDECL BridgeTracked(char* buffer, int size, unsigned* generation)
{
    return g_bridge ? g_bridge->Tracked(buffer, size, generation) : IUSB_ERR_CONNECT;
}
int USB_CDECL BridgeStopTracking()
{
    return g_bridge ? g_bridge->StopTracking() : 0;
}

// Copies as the bridge does; a full buffer is left without NUL on purpose.
int CopyOut(const std::string& text, char* buffer, int size)
{
    if (!buffer || size <= 0)
        return -1;
    const size_t n = std::min(text.size(), static_cast<size_t>(size));
    std::memcpy(buffer, text.data(), n);
    if (n < static_cast<size_t>(size))
        buffer[n] = '\0';
    return static_cast<int>(n);
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

AdbBridge::AdbBridge(Library& library) : m_library(library)
{
    g_bridge = this;
    auto& table = library.libraries["AdbBridge.dll"];
    table["IUSB_Init"] = reinterpret_cast<void*>(&BridgeInit);
    table["IUSB_AdbServerStart"] = reinterpret_cast<void*>(&BridgeStart);
    table["IUSB_GetDevices"] = reinterpret_cast<void*>(&BridgeGetDevices);
    ReloadAdb();
}

AdbBridge::~AdbBridge()
{
    m_library.libraries.erase("AdbBridge.dll");
    ReloadAdb();
    g_bridge = nullptr;
}

void AdbBridge::EnableTracking()
{
    auto& table = m_library.libraries["AdbBridge.dll"];
    table["AdbWaitDeviceListChange"] = reinterpret_cast<void*>(&BridgeWait);
    table["AdbGetTrackedDevices"] = reinterpret_cast<void*>(&BridgeTracked);
    table["AdbStopDeviceTracking"] = reinterpret_cast<void*>(&BridgeStopTracking);
    ReloadAdb();
}

void AdbBridge::Push(const std::string& text)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (text != m_pushed)
        m_pushed = text, ++m_generation;
}

int AdbBridge::TrackingStops()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stops;
}

int AdbBridge::List(char* buffer, int size)
{
    if (beforeListing)
        beforeListing(listingCalls + 1);
    ++listingCalls;
    listingTimes.push_back(GetPorts().clock->NowMs());
    return CopyOut(Next(listings), buffer, size);
}

int AdbBridge::WaitForChange(unsigned last, unsigned timeoutMs, unsigned* generation)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_generation == last) {
        lock.unlock();
        GetPorts().clock->SleepMs(timeoutMs);
        lock.lock();
    }
    if (generation)
        *generation = m_generation;
    return m_generation != last ? 1 : 0;
}

int AdbBridge::Tracked(char* buffer, int size, unsigned* generation)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (generation)
        *generation = m_generation;
    return CopyOut(m_pushed, buffer, size);
}

int AdbBridge::StopTracking()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_stops;
    return 0;
}

std::string Transcript(Platform& platform, const std::string& extra, bool pauses)
{
    std::string out = KeptLog(platform.LogText());
    out += std::regex_replace(platform.TrackText(), std::regex("([^\\n]*\\n)"), "track: $1");
    // Pauses as runs: "200x10 1000".
    const std::vector<uint32_t> sleeps = platform.clock.Sleeps();
    for (size_t i = 0, n = 1; pauses && i < sleeps.size(); i += n) {
        for (n = 1; i + n < sleeps.size() && sleeps[i + n] == sleeps[i];)
            ++n;
        out += (i ? " " : "pauses: ") + std::to_string(sleeps[i]) + (n > 1 ? "x" + std::to_string(n) : "");
    }
    out += (pauses && !sleeps.empty() ? "\n" : "") + extra;
    out = std::regex_replace(out, std::regex("date=[0-9]{4}-[0-9-]+:[0-9:]+"), "date=$$DATE");
    // Paths in the test folder read the same on every platform.
    for (size_t at = out.find(platform.root); at != std::string::npos; at = out.find(platform.root, at + 1)) {
        out.replace(at, platform.root.size(), "$ROOT");
        for (size_t i = at + 5; i < out.size() && !std::strchr(" \"\n", out[i]); ++i)
            out[i] = out[i] == '\\' ? '/' : out[i];
    }
    return out;
}

void ClearTranscript(Platform& platform)
{
    RemoveFile(GetDataDirectory() + "usb_log.txt");
    RemoveFile(GetDataDirectory() + "usb_track.txt");
    platform.clock.Clear();
}

void ExpectTranscript(const std::string& name, const std::string& actual)
{
    EXPECT_TRUE(MatchesTranscript(name, actual));
}

}  // namespace Fake
}  // namespace USB
