#include "platform/host/stream_port.h"

#include <cstdarg>
#include <map>
#include <mutex>
#include <utility>

#include "platform/host/contract_violations.h"
#include "platform/host/scheduler.h"

namespace veltocam::host {
namespace {

struct Clock {
  std::int64_t base;       // stream time at `since`
  std::uint64_t since;     // scheduler time
};

struct PortState {
  std::mutex mutex;
  RequestCompletionHandler handler;
  std::vector<HW_STREAM_REQUEST_BLOCK*> completed;
  std::vector<DeviceEventSignal> events;
  std::map<HANDLE, Clock> clocks;
  ULONG_PTR nextClock = 0x7C000000;
};

PortState& Port() {
  static PortState state;
  return state;
}

void RequestCompleted(HW_STREAM_REQUEST_BLOCK* srb) {
  RequestCompletionHandler handler;
  {
    std::lock_guard lock(Port().mutex);
    handler = Port().handler;
    if (!handler) {
      Port().completed.push_back(srb);
      return;
    }
  }
  handler(srb);
}

}  // namespace

void SetRequestCompletionHandler(RequestCompletionHandler handler) {
  std::lock_guard lock(Port().mutex);
  Port().handler = std::move(handler);
}

std::vector<HW_STREAM_REQUEST_BLOCK*> TakeCompletedRequests() {
  std::lock_guard lock(Port().mutex);
  return std::exchange(Port().completed, {});
}

std::vector<DeviceEventSignal> TakeDeviceEventSignals() {
  std::lock_guard lock(Port().mutex);
  return std::exchange(Port().events, {});
}

HANDLE CreateMasterClock(std::int64_t startTime) {
  std::lock_guard lock(Port().mutex);
  auto handle = reinterpret_cast<HANDLE>(Port().nextClock += 8);
  Port().clocks[handle] = {startTime, Now()};
  return handle;
}

void SetMasterClockTime(HANDLE clock, std::int64_t streamTime) {
  std::lock_guard lock(Port().mutex);
  Port().clocks[clock] = {streamTime, Now()};
}

void DestroyMasterClock(HANDLE clock) {
  std::lock_guard lock(Port().mutex);
  Port().clocks.erase(clock);
}

void ResetStreamPort() {
  std::lock_guard lock(Port().mutex);
  Port().handler = nullptr;
  Port().completed.clear();
  Port().events.clear();
  Port().clocks.clear();
}

}  // namespace veltocam::host

void StreamClassStreamNotification(STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE type,
                                   HW_STREAM_OBJECT* streamObject, ...) {
  if (type != StreamRequestComplete) return;  // readiness notices need no answer here
  va_list args;
  va_start(args, streamObject);
  auto* srb = va_arg(args, HW_STREAM_REQUEST_BLOCK*);
  va_end(args);
  veltocam::host::RequestCompleted(srb);
}

void StreamClassDeviceNotification(STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE type,
                                   PVOID hwDeviceExtension, ...) {
  va_list args;
  va_start(args, hwDeviceExtension);
  if (type == DeviceRequestComplete) {
    auto* srb = va_arg(args, HW_STREAM_REQUEST_BLOCK*);
    va_end(args);
    veltocam::host::RequestCompleted(srb);
    return;
  }
  if (type == SignalMultipleDeviceEvents || type == SignalDeviceEvent) {
    const GUID* set = va_arg(args, const GUID*);
    ULONG id = va_arg(args, ULONG);
    std::lock_guard lock(veltocam::host::Port().mutex);
    veltocam::host::Port().events.push_back({hwDeviceExtension, *set, id});
  }
  va_end(args);
}

void StreamClassQueryMasterClockSync(HANDLE masterClockHandle, HW_TIME_CONTEXT* timeContext) {
  std::lock_guard lock(veltocam::host::Port().mutex);
  auto& clocks = veltocam::host::Port().clocks;
  auto it = clocks.find(masterClockHandle);
  const std::uint64_t now = veltocam::host::Now();
  timeContext->SystemTime = now;
  if (it == clocks.end()) {
    veltocam::host::ContractViolation("master clock query with an unknown clock handle");
    timeContext->Time = 0;
    return;
  }
  timeContext->Time =
      static_cast<ULONGLONG>(it->second.base + static_cast<std::int64_t>(now - it->second.since));
}
