// The flows' bookkeeping: the table of flows, their jobs and timers, the host answers kept for a
// busy phone, the shared listing and the pushed list that ends the pauses between attempts.
#include "pipeline/pipeline.h"

#include "discovery/device_scan.h"
#include "support/json_utils.h"
#include "support/ports/ports.h"
#include "support/sys_utils.h"
#include "support/usb_event.h"

namespace USB {

namespace {

// One wait on the server's pushed list; a changed list ends it at once.
constexpr uint32_t kWatchSliceMs = 1000;

std::string DeviceKey(const std::string& key, const std::string& serial)
{
    return key + "#" + ToUpperAscii(serial);
}

// While a job runs, the pauses of its thread give up once its phone left or the service stopped.
struct JobCancel {
    std::shared_ptr<std::atomic<bool>> flow;
    std::shared_ptr<std::atomic<bool>> service;
};

bool JobWanted(void* context)
{
    const JobCancel* cancel = static_cast<const JobCancel*>(context);
    return !*cancel->flow && !*cancel->service;
}

// What of a listing can end a pause for `serial` (none: for the serial correction): the lines of
// that serial as a match would take them, and the only line when there is just one.
std::string ListingView(const std::map<std::string, std::string>& entries, const std::string& serial)
{
    std::string view;
    for (const auto& kv : entries)
        if (!serial.empty() && ListedAs(serial, kv.first))
            view += kv.first + "\t" + kv.second + "\n";
    if (entries.size() == 1)
        view += "only " + entries.begin()->first + "\t" + entries.begin()->second + "\n";
    return view;
}

}  // namespace

ConnectionPipeline::ConnectionPipeline(const PipelineContext& context) : m_context(context) {}

ConnectionPipeline::~ConnectionPipeline()
{
    CancelAll();
}

// ---- flows ------------------------------------------------------------------------------

PhoneFlow* ConnectionPipeline::Find(uint64_t id)
{
    const auto it = m_flows.find(id);
    return it == m_flows.end() ? nullptr : it->second.get();
}

PhoneFlow* ConnectionPipeline::FlowOf(const std::string& key, const std::string& serial) const
{
    const std::string wanted = ToUpperAscii(serial);
    for (const auto& kv : m_flows)
        if (kv.second->key == key && ToUpperAscii(kv.second->windowsSerial) == wanted)
            return kv.second.get();
    return nullptr;
}

bool ConnectionPipeline::HasFlow(const std::string& key, const std::string& serial) const
{
    return FlowOf(key, serial) != nullptr;
}

PhoneFlow& ConnectionPipeline::NewFlow(const std::string& key, const std::string& serial)
{
    std::unique_ptr<PhoneFlow> flow(new PhoneFlow(++m_lastFlowId, m_context.config));
    flow->key = key;
    flow->windowsSerial = serial;
    {
        LockGuard lock(m_cancelMutex);
        m_cancels.emplace(DeviceKey(key, serial), flow->cancel);
    }
    PhoneFlow& made = *flow;
    m_flows.emplace(made.id, std::move(flow));
    return made;
}

void ConnectionPipeline::DropFlow(PhoneFlow& flow)
{
    m_context.loop.Cancel(flow.timer);
    *flow.cancel = true;
    {
        LockGuard lock(m_cancelMutex);
        const auto range = m_cancels.equal_range(DeviceKey(flow.key, flow.windowsSerial));
        for (auto it = range.first; it != range.second; ++it) {
            if (it->second == flow.cancel) {
                m_cancels.erase(it);
                break;
            }
        }
    }
    m_flows.erase(flow.id);
}

void ConnectionPipeline::EndFlow(PhoneFlow& flow)
{
    std::deque<std::function<void()>> held = std::move(flow.heldAnswers);
    const std::string key = flow.key, serial = flow.windowsSerial;
    DropFlow(flow);
    while (!held.empty()) {
        const std::function<void()> run = std::move(held.front());
        held.pop_front();
        run();
        // An answer that checks the phone again keeps the others for that check's end.
        if (PhoneFlow* next = FlowOf(key, serial)) {
            for (auto& rest : held)
                next->heldAnswers.push_back(std::move(rest));
            return;
        }
    }
}

DeviceRecord* ConnectionPipeline::RecordOf(const PhoneFlow& flow)
{
    return m_context.devices.FindByDevice(flow.key, flow.windowsSerial);
}

DeviceRecord* ConnectionPipeline::LiveRecord(PhoneFlow& flow)
{
    DeviceRecord* device = RecordOf(flow);
    if (!device)
        EndFlow(flow);
    return device;
}

size_t ConnectionPipeline::BusyFlows() const
{
    size_t busy = 0;
    for (const auto& kv : m_flows)
        busy += kv.second->stage != PhoneFlow::Stage::WaitingOnline;
    return busy;
}

void ConnectionPipeline::Continue(uint64_t id, const std::function<void(PhoneFlow&)>& step)
{
    PhoneFlow* flow = Find(id);
    if (!flow)
        return;
    try {
        step(*flow);
        return;
    } catch (const std::exception& e) {
        USB_LOG("the check of %s failed: %s\n", flow->windowsSerial.c_str(), e.what());
    } catch (...) {
        USB_LOG("the check of %s failed\n", flow->windowsSerial.c_str());
    }
    // A step that failed half-way leaves nothing waiting for it.
    if (PhoneFlow* failed = Find(id))
        DropFlow(*failed);
}

void ConnectionPipeline::RunJob(PhoneFlow& flow, std::function<std::function<void(PhoneFlow&)>()> work)
{
    const uint64_t id = flow.id;
    auto cancel = std::make_shared<JobCancel>(JobCancel{flow.cancel, Stopped()});
    const bool queued = m_context.loop.RunJob([this, id, cancel, work, counted = CountJob()] {
        std::function<void(PhoneFlow&)> then;
        {
            const WorkScope scope(&JobWanted, cancel.get());
            then = work();
        }
        // A job called off hands nothing back: its flow has ended or is ending.
        if (then && JobWanted(cancel.get()))
            m_context.loop.Post([this, id, then] { Continue(id, then); });
    });
    if (!queued) {
        USB_LOG("the work of %s could not be started\n", flow.windowsSerial.c_str());
        DropFlow(flow);
    }
}

std::shared_ptr<void> ConnectionPipeline::CountJob()
{
    // Held by the job's closure: the count drops once the job has run (after its result was
    // posted) or was dropped unrun; a loop that waits for the last job hears of its end.
    ++m_jobsRunning;
    return std::shared_ptr<void>(nullptr, [this](void*) {
        if (--m_jobsRunning == 0)
            m_context.loop.Wake();
    });
}

void ConnectionPipeline::After(PhoneFlow& flow, uint32_t ms, std::function<void(PhoneFlow&)> then)
{
    const uint64_t id = flow.id;
    m_context.loop.Cancel(flow.timer);
    flow.timer = m_context.loop.After(ms, [this, id, then] {
        Continue(id, [&then](PhoneFlow& flow) {
            flow.timer = kNoTimer;
            then(flow);
        });
    });
}

std::function<void(int, const std::string&)> ConnectionPipeline::Outbox(const PhoneFlow& flow)
{
    const uint64_t id = flow.id;
    return [this, id](int message, const std::string& payload) {
        // Once the phone has left, its job has nothing more to tell.
        if (WorkCalledOff())
            return;
        m_context.loop.Post([this, id, message, payload] {
            Continue(id, [&](PhoneFlow&) { m_context.ui.SendToUi(message, payload); });
        });
    };
}

void ConnectionPipeline::SendDeviceToUi(DeviceRecord& device, int id)
{
    m_context.ui.SendToUi(id, DevicePayload(device));
}

// ---- what the service asks -------------------------------------------------------------

std::string ConnectionPipeline::Depart(const std::string& key, const std::string& serial)
{
    PhoneFlow* flow = FlowOf(key, serial);
    if (!flow)
        return std::string();
    // Whatever it waited for, its flow ends here: nothing of it reaches the host but its removal,
    // and answers kept for it have nothing to answer any more.
    USB_LOG("this device had been pluged out\n");
    std::string payload;
    if (!RecordOf(*flow) && flow->announced) {
        // The host heard of the phone before its records were made.
        DeviceRecord made;
        made.m_serial = serial;
        made.m_description = flow->info.m_description;
        made.m_isAdbOpen = flow->info.m_isAdbOpen;
        payload = DevicePayload(made);
    }
    DropFlow(*flow);
    return payload;
}

void ConnectionPipeline::Answer(const std::string& serial, std::function<void()> run)
{
    DeviceRecord* device = m_context.devices.FindBySn(serial);
    PhoneFlow* flow = device ? FlowOf(device->m_vidPid, device->m_systemSn) : nullptr;
    if (flow && flow->stage == PhoneFlow::Stage::WaitingOnline) {
        // Waiting for its user is no work in progress: the answer replaces the wait.
        DropFlow(*flow);
        flow = nullptr;
    }
    if (!flow) {
        run();
        return;
    }
    USB_LOG("the check of %s is running, the answer waits for its end\n", serial.c_str());
    flow->heldAnswers.push_back(std::move(run));
}

void ConnectionPipeline::CancelDevice(const std::string& key, const std::string& serial)
{
    LockGuard lock(m_cancelMutex);
    const auto range = m_cancels.equal_range(DeviceKey(key, serial));
    for (auto it = range.first; it != range.second; ++it)
        *it->second = true;
}

void ConnectionPipeline::CancelAll()
{
    {
        LockGuard lock(m_cancelMutex);
        *m_stopped = true;
        for (auto& kv : m_cancels)
            *kv.second = true;
    }
    m_listing.StopTracking();
}

void ConnectionPipeline::Resume()
{
    LockGuard lock(m_cancelMutex);
    m_stopped = std::make_shared<std::atomic<bool>>(false);
}

std::shared_ptr<std::atomic<bool>> ConnectionPipeline::Stopped() const
{
    LockGuard lock(m_cancelMutex);
    return m_stopped;
}

void ConnectionPipeline::EndAll()
{
    while (!m_flows.empty())
        DropFlow(*m_flows.begin()->second);
    // Results of jobs from before are nobody's now.
    ++m_listingRound;
    m_listingInFlight = false;
    m_listingTakers.clear();
    ++m_watchRound;
    m_watchInFlight = false;
    m_watchGeneration = 0;
    m_context.loop.Cancel(m_watchRetry);
}

void ConnectionPipeline::StartAdbServer()
{
    m_listing.StartServer();
}

// ---- the shared listing ------------------------------------------------------------------

void ConnectionPipeline::WantListing(PhoneFlow& flow)
{
    flow.listingWanted = true;
    if (!m_listingInFlight)
        StartListing();
}

void ConnectionPipeline::StartListing()
{
    m_listingTakers.clear();
    for (auto& kv : m_flows) {
        if (kv.second->listingWanted) {
            kv.second->listingWanted = false;
            m_listingTakers.push_back(kv.first);
        }
    }
    if (m_listingTakers.empty())
        return;
    const uint64_t round = ++m_listingRound;
    std::shared_ptr<std::atomic<bool>> stopped = Stopped();
    m_listingInFlight = m_context.loop.RunJob([this, round, stopped, counted = CountJob()] {
        if (*stopped)
            return;
        auto listing = std::make_shared<Listing>(m_listing.List());
        m_context.loop.Post([this, round, listing] { OnListing(round, *listing); });
    });
    if (!m_listingInFlight) {
        // No worker: the phones waiting for it end here rather than wait for ever.
        for (uint64_t id : m_listingTakers)
            if (PhoneFlow* flow = Find(id))
                DropFlow(*flow);
        m_listingTakers.clear();
    }
}

void ConnectionPipeline::OnListing(uint64_t round, const Listing& listing)
{
    if (round != m_listingRound)
        return;
    m_listingInFlight = false;
    for (const std::string& serial : listing.repeated)
        m_context.ui.SendToUi(USB_WM_PHONE_SN_CONFLICT, SerialPayload(serial));
    const std::vector<uint64_t> takers = std::move(m_listingTakers);
    m_listingTakers.clear();
    for (uint64_t id : takers) {
        Continue(id, [&](PhoneFlow& flow) {
            if (flow.stage == PhoneFlow::Stage::SerialFix)
                OnListingForSerialFix(flow, listing);
            else if (flow.stage == PhoneFlow::Stage::Finding)
                OnListingForFind(flow, listing);
        });
    }
    if (!m_listingInFlight)
        StartListing();
}

// ---- pauses between attempts and the pushed list ---------------------------------------

void ConnectionPipeline::PauseForListing(PhoneFlow& flow, const Listing& listing, const std::string& serial)
{
    std::map<std::string, std::string> seen;
    for (const auto& kv : listing.entries)
        seen.emplace(kv.first, kv.second.m_state);
    flow.pausedSerial = serial;
    flow.pausedView = ListingView(seen, serial);
    After(flow, kListingPauseMs, [this](PhoneFlow& f) { AfterListingPause(f); });
    Watch();
}

bool ConnectionPipeline::Waiting() const
{
    for (const auto& kv : m_flows) {
        const PhoneFlow& flow = *kv.second;
        const bool pausing = (flow.stage == PhoneFlow::Stage::Finding || flow.stage == PhoneFlow::Stage::SerialFix) &&
                             flow.timer != kNoTimer;
        if (pausing || flow.stage == PhoneFlow::Stage::WaitingOnline)
            return true;
    }
    return false;
}

void ConnectionPipeline::Watch()
{
    if (m_watchInFlight || m_watchRetry != kNoTimer || !Waiting() || !m_listing.CanTrack())
        return;
    const uint64_t round = ++m_watchRound;
    const unsigned generation = m_watchGeneration;
    std::shared_ptr<std::atomic<bool>> stopped = Stopped();
    m_watchInFlight = m_context.loop.RunJob([this, round, generation, stopped] {
        unsigned next = generation;
        auto entries = std::make_shared<std::map<std::string, std::string>>();
        const AdbListingSource::Change change = m_listing.WaitForChange(next, kWatchSliceMs, *entries, *stopped);
        if (*stopped)
            return;
        m_context.loop.Post([this, round, next, change, entries] {
            if (round != m_watchRound)
                return;
            m_watchInFlight = false;
            m_watchGeneration = next;
            if (change == AdbListingSource::Change::Changed)
                OnListChanged(*entries);
            // While the list cannot be followed (no server yet), ask again a slice later, not at once.
            if (change == AdbListingSource::Change::Unavailable)
                m_watchRetry = m_context.loop.After(kWatchSliceMs, [this] {
                    m_watchRetry = kNoTimer;
                    Watch();
                });
            Watch();
        });
    });
}

void ConnectionPipeline::OnListChanged(const std::map<std::string, std::string>& entries)
{
    // The list the server pushed is its listing now: a phone whose pause it ends takes it as its
    // next attempt at once, without waiting for a listing of its own.
    Listing pushed;
    std::string text;
    for (const auto& kv : entries) {
        pushed.entries.emplace(kv.first, AdbDevice(kv.first, kv.second));
        text += kv.first + "\t" + kv.second + "\n";
    }
    bool logged = false;
    std::vector<uint64_t> ids;
    for (const auto& kv : m_flows)
        ids.push_back(kv.first);
    for (uint64_t id : ids) {
        Continue(id, [&](PhoneFlow& flow) {
            if (flow.stage == PhoneFlow::Stage::WaitingOnline) {
                DeviceRecord* device = RecordOf(flow);
                const auto entry = device ? entries.find(device->m_serial) : entries.end();
                if (entry != entries.end() && entry->second == "device") {
                    USB_LOG("the adbserver lists %s as device now\n", device->m_serial.c_str());
                    ResumeAdbConnection(flow);
                }
            } else if (flow.timer != kNoTimer &&
                       (flow.stage == PhoneFlow::Stage::Finding || flow.stage == PhoneFlow::Stage::SerialFix) &&
                       ListingView(entries, flow.pausedSerial) != flow.pausedView) {
                m_context.loop.Cancel(flow.timer);
                if (!logged)
                    USB_LOG("adbdevices: %s\n", text.c_str());
                logged = true;
                AfterListingPause(flow, &pushed);
            }
        });
    }
}

}  // namespace USB
