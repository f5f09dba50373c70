// State that tests set up or look at directly, which the product only reaches through its own
// flows.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "pipeline/pipeline.h"
#include "service/USB_Service.h"

namespace USB {

struct PipelineTestAccess {
    static void SetBorrowedAdbServer(ConnectionPipeline& pipeline, bool borrowed)
    {
        pipeline.m_bBorrowedAdbServer = borrowed;
    }
    static void SetDownloadDevice(ConnectionPipeline& pipeline, UsbDevice* device)
    {
        pipeline.m_downloadDevice = device;
    }
};

struct UsbServiceTestAccess {
    // Held to stand for a dispatch in progress.
    static UsbCLock& ServiceLock(UsbService& service) { return service.m_serviceLock; }
    static UsbCLock& DeviceLock(UsbService& service) { return service.m_deviceLock; }
    static std::vector<std::string> Queue(UsbService& service)
    {
        UsbMutex guard(service.m_queueLock);
        return std::vector<std::string>(service.m_messages.begin(), service.m_messages.end());
    }
    // Signalled when the loop of the latest start has ended.
    static std::shared_ptr<UsbEvent> LoopEnded(UsbService& service) { return service.m_loopEnded; }
    // The stop flag alone, without the rest of a stop.
    static void SetStop(UsbService& service, bool stop) { service.m_stop = stop; }
    // Ends a loop run by EventLoop: the flag, then the wakeup.
    static void EndLoop(UsbService& service)
    {
        service.m_stop = true;
        service.m_queueSignal.Set();
    }
};

}  // namespace USB
