#include "pipeline/adb_listing.h"

#include <utility>

#include "pipeline/adb_loader.h"
#include "pipeline/adb_server.h"
#include "support/sys_utils.h"
#include "support/usb_log.h"

namespace USB {

namespace {

// Cuts text at every delimiter, left to right; empty pieces become `filler`. Empty text or an
// empty delimiter gives an empty list.
std::vector<std::string> SplitString(const std::string& text, const std::string& delimiter, const std::string& filler)
{
    std::vector<std::string> pieces;
    if (text.empty() || delimiter.empty())
        return pieces;
    size_t start = 0;
    for (;;) {
        const size_t pos = text.find(delimiter, start);
        const std::string piece = text.substr(start, pos == std::string::npos ? std::string::npos : pos - start);
        pieces.push_back(piece.empty() ? filler : piece);
        if (pos == std::string::npos)
            break;
        start = pos + delimiter.size();
    }
    return pieces;
}

// The "serial\tstate" lines of a listing, in order; a line without exactly one TAB is left out.
std::vector<std::pair<std::string, std::string>> ListingLines(const std::string& text)
{
    std::vector<std::pair<std::string, std::string>> lines;
    for (const std::string& line : SplitString(text, "\n", "")) {
        const std::vector<std::string> fields = SplitString(line, "\t", "");
        if (fields.size() == 2)
            lines.emplace_back(fields[0], fields[1]);
    }
    return lines;
}

}  // namespace

std::map<std::string, std::string> ParseAdbListing(const std::string& text)
{
    std::map<std::string, std::string> entries;
    for (const auto& line : ListingLines(text))
        entries.emplace(line.first, line.second);
    return entries;
}

void AdbListingSource::StartServer()
{
    UsbAdb& adb = TheAdb();
    if (!adb.IUSB_Init) {
        USB_LOG("_IUSB_Init error............................\n");
        return;
    }
    adb.IUSB_Init();
    if (!adb.IUSB_AdbServerStart)
        return;
    LockGuard start(m_startMutex);
    const int result = adb.IUSB_AdbServerStart();
    if (result == IUSB_SERVER_RUNNING) {
        USB_LOG("the adb server had been started.\n");
        if (ProbeAdbPort()) {
            m_borrowed = true;
            USB_LOG("borrow the thirdy party adbserver\n");
        } else {
            m_borrowed = false;
            USB_LOG("FATAL error............................\n");
        }
    } else if (result < IUSB_SERVER_RUNNING) {
        // Our bridge reports a server it could not start with other negative values.
        m_borrowed = false;
        USB_LOG("the adb server could not be started: %d\n", result);
    } else {
        USB_LOG("the adb server starts successfully\n");
        m_borrowed = false;
    }
}

void AdbListingSource::EnsureServer()
{
    UsbAdb& adb = TheAdb();
    if (!adb.IUSB_AdbServerStart)
        return;
    LockGuard start(m_startMutex);
    const int result = adb.IUSB_AdbServerStart();
    if (result == IUSB_SERVER_RUNNING) {
        USB_LOG("the adb server had been started.\n");
        USB_LOG("borrow the thirdy party adbserver\n");
    } else if (result < IUSB_SERVER_RUNNING) {
        m_borrowed = false;
        USB_LOG("the adb server could not be started: %d\n", result);
    } else {
        m_borrowed = false;
        USB_LOG("use the self adbserver\n");
        USB_LOG("the adb server starts successfully\n");
    }
}

bool ListedAs(const std::string& serial, const std::string& listed)
{
    return serial == ToLowerAscii(listed) || serial == ToUpperAscii(listed);
}

AdbListingSource::Listing AdbListingSource::List()
{
    EnsureServer();
    std::vector<char> buffer(kListingBufferSize, '\0');
    UsbAdb& adb = TheAdb();
    if (adb.IUSB_GetDevices)
        adb.IUSB_GetDevices(buffer.data(), kListingBufferSize);
    // A bridge that fills the whole buffer must not make us read past it.
    buffer[kListingBufferSize - 1] = '\0';
    const std::string text(buffer.data());
    USB_LOG("adbdevices: %s\n", text.c_str());

    Listing listing;
    for (const auto& line : ListingLines(text)) {
        // The first line of a serial stays; a repeated one is a conflict the host hears of.
        if (listing.entries.count(line.first)) {
            USB_LOG("this device sn had already existed in the list\n");
            listing.repeated.push_back(line.first);
            continue;
        }
        listing.entries.emplace(line.first, AdbDevice(line.first, line.second));
    }
    return listing;
}

bool AdbListingSource::CanTrack() const
{
    UsbAdb& adb = TheAdb();
    return adb.AdbWaitDeviceListChange && adb.AdbGetTrackedDevices;
}

AdbListingSource::Change AdbListingSource::WaitForChange(unsigned& generation, uint32_t ms,
                                                         std::map<std::string, std::string>& entries,
                                                         const std::atomic<bool>& stopped)
{
    UsbAdb& adb = TheAdb();
    if (!CanTrack() || stopped)
        return Change::Unavailable;
    const int changed = adb.AdbWaitDeviceListChange(generation, ms, &generation);
    if (changed == 0)
        return Change::TimedOut;
    std::vector<char> buffer(kListingBufferSize, '\0');
    if (changed < 0 || stopped || adb.AdbGetTrackedDevices(buffer.data(), kListingBufferSize, &generation) < 0)
        return Change::Unavailable;
    buffer[kListingBufferSize - 1] = '\0';
    entries = ParseAdbListing(buffer.data());
    return Change::Changed;
}

void AdbListingSource::StopTracking()
{
    UsbAdb& adb = TheAdb();
    if (adb.AdbStopDeviceTracking)
        adb.AdbStopDeviceTracking();
}

}  // namespace USB
