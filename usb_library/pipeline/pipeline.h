// The connection pipeline: every phone's way from its arrival (or a host's retry) to a device the
// ADB server lists, each phone on its own. A phone's flow is a state machine on the event loop:
// the decision whether it is a phone, step 1 (ADB debugging on), step 2 (a driver bound), step 3
// (the server lists it) and its status. Pauses are timers of the loop; blocking work (the phone
// decision, Windows' own driver install, the driver download and installer, ADB server starts
// and listings) runs as jobs on the worker pool and hands its result back to the loop, so a phone
// in a wait holds no other phone and no host answer.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "cloud/cloud_client.h"
#include "discovery/device_records.h"
#include "identification/phone_decision.h"
#include "discovery/device_scan.h"
#include "pipeline/adb_listing.h"
#include "pipeline/adb_server.h"
#include "support/config.h"
#include "support/event_loop.h"
#include "support/ui_sink.h"
#include "support/usb_log.h"
#include "usbhelper.h"

namespace USB {

// What the pipeline works with; owned by the service, which hands it over whole.
struct PipelineContext {
    EventLoop& loop;
    UsbDeviceList& devices;
    UiSink& ui;
    CloudClient& cloud;
    PhoneDecision& decision;
    // The track records' header names the build of this configuration.
    const UsbConfig& config;
    // An arrival has been taken up: the tree changes queued meanwhile are covered by it.
    std::function<void()> treeChangesCovered;
};

// One phone's connection in progress, from its arrival or a retry to its last message. It waits
// for one thing at a time: a job, a timer, a listing or the server's pushed list.
struct PhoneFlow {
    enum class Stage {
        Deciding,        // the phone decision runs
        Probing,         // Windows' driver install and the ADB interfaces of an accepted phone
        DriverPresence,  // step 2: the driver interface is looked for
        DriverJob,       // step 2: pending install, download and installer
        SerialFix,       // step 3 for a made-up serial: the only listed serial is taken
        Finding,         // step 3: the server's listing is searched for the serial
        StatusPause,     // the server lists the phone offline: a short pause, then again
        WaitingOnline,   // unauthorized or offline: until the server lists it as "device"
    };

    PhoneFlow(uint64_t flowId, const UsbConfig& config) : id(flowId), track(config) {}

    const uint64_t id;
    std::string key;            // "VID_xxxx&PID_yyyy"
    std::string windowsSerial;  // as Windows names the device (the record's m_systemSn)
    std::shared_ptr<std::atomic<bool>> cancel = std::make_shared<std::atomic<bool>>(false);
    TrackRecord track;
    Stage stage = Stage::Deciding;
    bool announced = false;  // the host heard of the phone (WM_TRY_CONNECT_PHONE)
    PhoneSystemInfo info;    // the phone as the decision saw it

    int attempt = 0;        // of the listing (or the serial correction)
    int statusAttempt = 0;  // of the status check
    TimerId timer = kNoTimer;
    bool listingWanted = false;  // subscribed to the next listing
    std::string findSerial;      // the serial the listing is searched for
    std::string pausedSerial;    // whose lines of a changed list end the pause ("": the only line)
    std::string pausedView;      // what of the last listing could answer the next attempt
    AdbDevice lastEntry;         // the listing line an offline pause looks at again
    std::deque<std::function<void()>> heldAnswers;
};

class ConnectionPipeline {
public:
    explicit ConnectionPipeline(const PipelineContext& context);
    ~ConnectionPipeline();
    ConnectionPipeline(const ConnectionPipeline&) = delete;
    ConnectionPipeline& operator=(const ConnectionPipeline&) = delete;

    // ---- loop thread ----
    // An arrival, by its upper-cased '#'-separated instance id (DEVICE_ONLINE).
    void Arrive(const std::string& id);
    // The device left: its flow ends, whatever it waited for, and nothing of it reaches the host
    // any more. Returns the payload of WM_DEVICE_OFFLINE for a phone the host heard of that has
    // no record yet ("" when none).
    std::string Depart(const std::string& key, const std::string& serial);
    // A host answer for the phone with this serial: now when its flow is idle, else when it ends.
    void Answer(const std::string& serial, std::function<void()> run);
    // Steps 1 to 4 again for a recorded phone, with a fresh interface probe (USB_RETRY).
    void RetryDevice(const std::string& serial);
    // The driver check and step 3 again, with a fresh track header (the second USB_RETRY 11024).
    void RerunFromDriver(DeviceRecord& device);
    // Ends the program on port 5037 and retries the phone (KILL-ADBSERVER).
    void KillAdbServerCommand(const std::string& serial);
    // Flows that are not waiting for their user; one-phone-at-a-time hosts wait for none left.
    size_t BusyFlows() const;
    bool HasFlow(const std::string& key, const std::string& serial) const;
    // Jobs of flows, listings and installers not yet ended, those of phones that left included
    // (the pushed-list watch is none of them).
    int JobsRunning() const { return m_jobsRunning; }
    // The service stops: every flow ends silently and its timers and subscriptions go.
    void EndAll();

    // ---- any thread ----
    // The listener's removal: the device's work in progress gives up at once.
    void CancelDevice(const std::string& key, const std::string& serial) EXCLUDES(m_cancelMutex);
    // The service stops: every job in progress gives up; the server's pushed list is let go.
    void CancelAll() EXCLUDES(m_cancelMutex);
    // Work again after a stop.
    void Resume() EXCLUDES(m_cancelMutex);
    // Starts the ADB server, or borrows the one running (IUSB_start, IUSB_startAdbServer).
    void StartAdbServer();

private:
    using Listing = AdbListingSource::Listing;

    PhoneFlow* Find(uint64_t id);
    PhoneFlow* FlowOf(const std::string& key, const std::string& serial) const;
    PhoneFlow& NewFlow(const std::string& key, const std::string& serial);
    // The flow is over: its held answers run now, in order.
    void EndFlow(PhoneFlow& flow);
    void DropFlow(PhoneFlow& flow);
    // Runs a step of the flow `id` if it still lives; a step that throws ends its flow.
    void Continue(uint64_t id, const std::function<void(PhoneFlow&)>& step);
    DeviceRecord* RecordOf(const PhoneFlow& flow);
    // The flow's record; null, and the flow ended, once its phone has left.
    DeviceRecord* LiveRecord(PhoneFlow& flow);
    // Runs `work` on a worker; `then` runs on the loop unless the flow ended meanwhile.
    void RunJob(PhoneFlow& flow, std::function<std::function<void(PhoneFlow&)>()> work);
    std::shared_ptr<void> CountJob();
    void After(PhoneFlow& flow, uint32_t ms, std::function<void(PhoneFlow&)> then);
    // What a job sends the host for its phone: delivered on the loop while the flow lives.
    std::function<void(int, const std::string&)> Outbox(const PhoneFlow& flow);
    void SendDeviceToUi(DeviceRecord& device, int id);

    // Arrival (arrival.cpp).
    void Announce(PhoneFlow& flow, const InstanceIdParts& parts);
    void RegisterAdbInterfaces(PhoneSystemInfo& phone, PhoneInfos& interfaces);
    void AddFromInfo(PhoneFlow& flow, const InstanceIdParts& parts);
    void ConnectRecorded(PhoneFlow& flow);

    // Steps 1, 3 and the status (connection.cpp).
    void CheckConnection(PhoneFlow& flow, DeviceRecord& device);
    void CheckAdbConnection(PhoneFlow& flow, DeviceRecord& device);
    void CheckAdbStatus(PhoneFlow& flow, DeviceRecord& device);
    void FindAdbDevice(PhoneFlow& flow);
    void OnListingForFind(PhoneFlow& flow, const Listing& listing);
    void OnListingForSerialFix(PhoneFlow& flow, const Listing& listing);
    bool MayAdopt(const PhoneFlow& flow, const DeviceRecord& device, const AdbDevice& entry);
    void OnFound(PhoneFlow& flow, DeviceRecord& device, const AdbDevice& entry);
    void ReportStatus(PhoneFlow& flow, DeviceRecord& device, const AdbDevice& entry);
    void ReportNotFound(PhoneFlow& flow, DeviceRecord& device);
    void WaitUntilListedOnline(PhoneFlow& flow, DeviceRecord& device);
    void PauseForListing(PhoneFlow& flow, const Listing& listing, const std::string& serial);
    // The next attempt after a pause: a listing of its own, or the list the server pushed.
    void AfterListingPause(PhoneFlow& flow, const Listing* pushed = nullptr);
    void WantListing(PhoneFlow& flow);
    void StartListing();
    void OnListing(uint64_t round, const Listing& listing);
    // Follows the server's pushed list while a phone waits for it to change.
    void Watch();
    void OnListChanged(const std::map<std::string, std::string>& entries);
    void ResumeAdbConnection(PhoneFlow& flow);
    bool Waiting() const;

    // Step 2 (driver_provisioning.cpp).
    void CheckDriver(PhoneFlow& flow, DeviceRecord& device);
    void CheckDriverPresence(PhoneFlow& flow, int check);
    void RunDriverJob(PhoneFlow& flow, DeviceRecord& device);
    void DriverPassed(PhoneFlow& flow, DeviceRecord& device);

    // The ADB server's owner when a present phone is not listed (adb_server.cpp).
    OwnerCheck HandleAdbServerException(const DeviceRecord& device);

    PipelineContext m_context;
    AdbListingSource m_listing;
    std::map<uint64_t, std::unique_ptr<PhoneFlow>> m_flows;
    uint64_t m_lastFlowId = 0;
    // Each flow's cancel token by device, for the listener's thread and the stop.
    mutable Mutex m_cancelMutex;
    std::multimap<std::string, std::shared_ptr<std::atomic<bool>>> m_cancels GUARDED_BY(m_cancelMutex);
    std::shared_ptr<std::atomic<bool>> m_stopped GUARDED_BY(m_cancelMutex) = std::make_shared<std::atomic<bool>>(false);
    std::shared_ptr<std::atomic<bool>> Stopped() const EXCLUDES(m_cancelMutex);

    std::atomic<int> m_jobsRunning{0};
    // One listing in flight; the flows it was started for.
    bool m_listingInFlight = false;
    uint64_t m_listingRound = 0;
    std::vector<uint64_t> m_listingTakers;
    // One wait on the pushed list in flight, and the generation of the last list seen.
    bool m_watchInFlight = false;
    TimerId m_watchRetry = kNoTimer;
    uint64_t m_watchRound = 0;
    unsigned m_watchGeneration = 0;
};

}  // namespace USB
