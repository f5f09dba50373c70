#include "pipeline/adb_watch.h"

#include <vector>

#include "pipeline/adb_loader.h"
#include "pipeline/connection.h"
#include "support/json_utils.h"
#include "support/ports/ports.h"
#include "support/usb_log.h"

namespace USB {

namespace {

// One wait of the thread: short, so that a stop or a cancel is taken up at once.
constexpr unsigned kWaitSliceMs = 100;
// While the server cannot be followed (restarting, refusing), how long before asking again.
constexpr uint32_t kUnavailablePauseMs = 200;

}  // namespace

std::map<std::string, std::string> ParseAdbListing(const std::string& text)
{
    std::map<std::string, std::string> entries;
    for (const std::string& line : SplitString(text, "\n", "")) {
        const std::vector<std::string> fields = SplitString(line, "\t", "");
        if (!line.empty() && fields.size() == 2)
            entries.emplace(fields[0], fields[1]);
    }
    return entries;
}

AdbStateWatch::~AdbStateWatch()
{
    Stop();
}

void AdbStateWatch::SetPoster(std::function<void(const std::string&)> post)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_post = std::move(post);
}

bool AdbStateWatch::Watch(const std::string& serial)
{
    UsbAdb& adb = TheAdb();
    if (!adb.AdbWaitDeviceListChange || !adb.AdbGetTrackedDevices)
        return false;
    std::lock_guard<std::mutex> guard(m_mutex);
    m_waiting.insert(serial);
    m_ready.erase(serial);
    if (!m_running) {
        // A thread that ended because nothing waited is joined before its successor starts.
        if (m_thread.joinable())
            m_thread.join();
        try {
            m_thread = std::thread([this] { Run(); });
            m_running = true;
        } catch (const std::exception&) {
            m_waiting.erase(serial);
            USB_LOG("thread start fail\n");
            return false;
        }
    }
    return true;
}

void AdbStateWatch::Cancel(const std::string& serial)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_waiting.erase(serial);
    m_ready.erase(serial);
}

bool AdbStateWatch::TakeReady(const std::string& serial)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_ready.erase(serial) > 0;
}

void AdbStateWatch::Stop()
{
    std::thread ending;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_stop = true;
        m_waiting.clear();
        m_ready.clear();
        ending = std::move(m_thread);
    }
    if (ending.joinable() && ending.get_id() != std::this_thread::get_id())
        ending.join();
    else if (ending.joinable())
        ending.detach();
    std::lock_guard<std::mutex> guard(m_mutex);
    m_stop = false;
    m_running = false;
}

void AdbStateWatch::Run()
{
    try {
        UsbAdb& adb = TheAdb();
        unsigned generation = 0;
        for (;;) {
            {
                std::lock_guard<std::mutex> guard(m_mutex);
                if (m_stop || m_waiting.empty()) {
                    m_running = false;
                    return;
                }
            }
            const int changed = adb.AdbWaitDeviceListChange(generation, kWaitSliceMs, &generation);
            if (changed < 0) {
                GetPorts().clock->SleepMs(kUnavailablePauseMs);
                continue;
            }
            if (changed == 0)
                continue;
            std::vector<char> buffer(4096, '\0');
            if (adb.AdbGetTrackedDevices(buffer.data(), static_cast<int>(buffer.size()), &generation) < 0)
                continue;
            buffer.back() = '\0';
            const std::map<std::string, std::string> entries = ParseAdbListing(buffer.data());
            std::vector<std::string> online;
            std::function<void(const std::string&)> post;
            {
                std::lock_guard<std::mutex> guard(m_mutex);
                for (auto it = m_waiting.begin(); it != m_waiting.end();) {
                    auto entry = entries.find(*it);
                    if (entry != entries.end() && entry->second == "device") {
                        m_ready.insert(*it);
                        online.push_back(*it);
                        it = m_waiting.erase(it);
                    } else {
                        ++it;
                    }
                }
                post = m_post;
            }
            for (const std::string& serial : online) {
                USB_LOG("the adbserver lists %s as device now\n", serial.c_str());
                Json::Value action(Json::objectValue);
                action["action"] = "ADB_DEVICE_READY";
                action["device_sn"] = serial;
                if (post)
                    post(WriteJson(action));
            }
        }
    } catch (...) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_running = false;
        USB_LOG("the adb state watch failed\n");
    }
}

}  // namespace USB
