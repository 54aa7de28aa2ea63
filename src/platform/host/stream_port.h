// The host's stream-class port: what a minidriver tells the port (completed
// requests, device events) and the master clocks it reads.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "platform/streamclass.h"

namespace veltocam::host {

// Called for every request the minidriver completes; the default handler
// keeps them for TakeCompletedRequests.
using RequestCompletionHandler = std::function<void(HW_STREAM_REQUEST_BLOCK* srb)>;
void SetRequestCompletionHandler(RequestCompletionHandler handler);
std::vector<HW_STREAM_REQUEST_BLOCK*> TakeCompletedRequests();

struct DeviceEventSignal {
  PVOID hwDeviceExtension;
  GUID eventSet;
  ULONG eventId;
};
std::vector<DeviceEventSignal> TakeDeviceEventSignals();

// A master clock whose stream time runs with the scheduler's clock from
// `startTime` on; the handle is what SRB_INDICATE_MASTER_CLOCK carries.
HANDLE CreateMasterClock(std::int64_t startTime = 0);
void SetMasterClockTime(HANDLE clock, std::int64_t streamTime);
void DestroyMasterClock(HANDLE clock);

// Forgets completions, events and clocks.
void ResetStreamPort();

}  // namespace veltocam::host
