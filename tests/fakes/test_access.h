// Pipeline state that tests set up directly, which the product only reaches through its own flows.
#pragma once

#include "pipeline/pipeline.h"

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
    // Held while a phone's stop mark is read or written.
    static UsbCLock& DeviceLock(ConnectionPipeline& pipeline) { return pipeline.m_context.deviceLock; }
};

}  // namespace USB
