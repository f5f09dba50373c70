// The listener's side of the device-change path that does not need Windows: the queue between
// the window (and the debounce timer) and the service's sink, and the texts the window posts.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "support/ports/listener_port.h"
#include "support/usb_event.h"
#include "support/usb_lock.h"

namespace USB {

// Texts wait here until the consumer thread hands them to the sink, one at a time and in
// posting order. The lock is held across the sink call, so a post made while the sink runs
// waits for it and is delivered after it.
class ListenerQueue {
public:
    ListenerQueue() = default;
    ListenerQueue(const ListenerQueue&) = delete;
    ListenerQueue& operator=(const ListenerQueue&) = delete;

    // Queues a copy of a NUL-terminated text and wakes the consumer.
    void Post(const char* text) EXCLUDES(m_queueLock);
    void SetSink(ListenerSink sink, void* context) EXCLUDES(m_queueLock);

    // Before the consumer thread starts: its ConsumeLoop then runs until StopConsumer, however
    // early that comes.
    void ArmConsumer() { m_consumerRunning = 1; }
    // Consumer thread body: returns once StopConsumer has been called.
    void ConsumeLoop();
    void StopConsumer();
    // Takes the oldest text off the queue and hands it to the sink (texts of zero or one byte
    // are dropped); false when the queue was empty.
    bool DeliverOne() EXCLUDES(m_queueLock);

private:
    Mutex m_queueLock;
    // Auto-reset and never reset by hand: a post made after the consumer found the queue
    // empty leaves it set, so the next wait returns at once.
    UsbEvent m_queueEvent{false, false};
    std::deque<std::string> m_queue GUARDED_BY(m_queueLock);
    ListenerSink m_sink GUARDED_BY(m_queueLock) = nullptr;
    void* m_sinkContext GUARDED_BY(m_queueLock) = nullptr;
    std::atomic<int> m_consumerRunning{0};
};

// {"action":"DEVICE_ONLINE"|"DEVICE_OFFLINE","device_info":path} in the compact form.
std::string DeviceChangeText(bool arrival, const std::string& devicePath);
// {"action":"DEVNODES_CHANGED"} in the compact form.
std::string DevnodesChangedText();

// The text carried by a WM_COPYDATA block: its bytes up to the first zero. False, with
// nothing to post, when there are bytes but no data pointer or the copy cannot be allocated.
bool CopyDataText(const void* data, uint64_t size, std::string& out);

// The interface path in a WM_DEVICECHANGE arrival or removal block, as UTF-16 units. Any
// process may send one, so the block is read within its declared size (dbch_size) only: false
// unless it is a device-interface block (type 5) with room for its fixed fields; a name not
// terminated inside the block ends there.
bool DeviceInterfaceName(const void* block, std::wstring& name);

}  // namespace USB
