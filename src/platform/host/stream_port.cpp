// The port's notification entry points and master clocks, and the sinks for
// requests of devices that no port started.
#include "platform/host/stream_port.h"

#include <atomic>
#include <cstdarg>
#include <map>
#include <mutex>
#include <utility>

#include "platform/host/contract_violations.h"
#include "platform/host/scheduler.h"
#include "platform/host/stream_port_internal.h"

namespace veltocam::host {
namespace {

struct Clock {
  std::int64_t base;    // stream time at `since`
  std::uint64_t since;  // scheduler time
};

struct LegacyState {
  std::mutex mutex;
  RequestCompletionHandler handler;
  std::vector<HW_STREAM_REQUEST_BLOCK*> completed;
  std::vector<DeviceEventSignal> events;
  std::map<HANDLE, Clock> clocks;
  ULONG_PTR nextClock = 0x7C000000;
};

LegacyState& Legacy() {
  static LegacyState state;
  return state;
}

std::atomic<StreamClassPort::State*> g_port{nullptr};

}  // namespace

StreamClassPort::State* CurrentPort() {
  return g_port.load();
}

void LegacyRequestCompleted(HW_STREAM_REQUEST_BLOCK* srb) {
  RequestCompletionHandler handler;
  {
    std::lock_guard lock(Legacy().mutex);
    handler = Legacy().handler;
    if (!handler) {
      Legacy().completed.push_back(srb);
      return;
    }
  }
  handler(srb);
}

void LegacyDeviceEvent(PVOID hwDeviceExtension, const GUID& set, ULONG id) {
  std::lock_guard lock(Legacy().mutex);
  Legacy().events.push_back({hwDeviceExtension, set, id});
}

void SetRequestCompletionHandler(RequestCompletionHandler handler) {
  std::lock_guard lock(Legacy().mutex);
  Legacy().handler = std::move(handler);
}

std::vector<HW_STREAM_REQUEST_BLOCK*> TakeCompletedRequests() {
  std::lock_guard lock(Legacy().mutex);
  return std::exchange(Legacy().completed, {});
}

std::vector<DeviceEventSignal> TakeDeviceEventSignals() {
  std::lock_guard lock(Legacy().mutex);
  return std::exchange(Legacy().events, {});
}

HANDLE CreateMasterClock(std::int64_t startTime) {
  std::lock_guard lock(Legacy().mutex);
  auto handle = reinterpret_cast<HANDLE>(Legacy().nextClock += 8);
  Legacy().clocks[handle] = {startTime, Now()};
  return handle;
}

void SetMasterClockTime(HANDLE clock, std::int64_t streamTime) {
  std::lock_guard lock(Legacy().mutex);
  Legacy().clocks[clock] = {streamTime, Now()};
}

void DestroyMasterClock(HANDLE clock) {
  std::lock_guard lock(Legacy().mutex);
  Legacy().clocks.erase(clock);
}

void ResetStreamPort() {
  std::lock_guard lock(Legacy().mutex);
  Legacy().handler = nullptr;
  Legacy().completed.clear();
  Legacy().events.clear();
  Legacy().clocks.clear();
}

StreamClassPort::StreamClassPort() : state_(std::make_unique<State>()) {
  State* expected = nullptr;
  if (!g_port.compare_exchange_strong(expected, state_.get())) {
    ContractViolation("a second stream-class port while another one is loaded");
  }
}

StreamClassPort::~StreamClassPort() {
  while (!state_->devices.empty()) RemoveDevice(state_->devices.back().get());
  State* expected = state_.get();
  g_port.compare_exchange_strong(expected, nullptr);
}

}  // namespace veltocam::host

namespace {

using veltocam::host::CurrentPort;
using veltocam::host::PortDevice;

// The port's device whose extension this is, if any.
PortDevice* PortDeviceOf(PVOID hwDeviceExtension) {
  auto* port = CurrentPort();
  if (port == nullptr) return nullptr;
  std::lock_guard lock(port->mutex);
  return port->DeviceOf(hwDeviceExtension);
}

void RequestCompleted(PVOID hwDeviceExtension, HW_STREAM_REQUEST_BLOCK* srb, bool asStream) {
  auto* port = CurrentPort();
  if (port != nullptr && port->Completed(srb, hwDeviceExtension, asStream)) return;
  veltocam::host::LegacyRequestCompleted(srb);
}

void DeviceEventSignalled(PVOID hwDeviceExtension, const GUID& set, ULONG id) {
  PortDevice* device = PortDeviceOf(hwDeviceExtension);
  if (device == nullptr) {
    veltocam::host::LegacyDeviceEvent(hwDeviceExtension, set, id);
    return;
  }
  std::lock_guard lock(device->port->mutex);
  const HW_STREAM_DESCRIPTOR* info = device->Descriptor();
  const HW_STREAM_HEADER* header = info != nullptr ? &info->StreamHeader : nullptr;
  bool announced = false;
  for (ULONG i = 0; header != nullptr && i < header->NumDevEventArrayEntries; ++i) {
    announced = announced || *header->DeviceEventsArray[i].Set == set;
  }
  if (!announced) {
    veltocam::host::ContractViolation("a device event signalled that the driver never announced");
    return;
  }
  if (device->eventsEnabled > 0) ++device->eventsSignalled;
  device->port->changed.notify_all();
}

}  // namespace

void StreamClassStreamNotification(STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE type,
                                   HW_STREAM_OBJECT* streamObject, ...) {
  if (type != StreamRequestComplete) return;  // readiness notices need no answer here
  va_list args;
  va_start(args, streamObject);
  auto* srb = va_arg(args, HW_STREAM_REQUEST_BLOCK*);
  va_end(args);
  if (streamObject == nullptr || srb == nullptr || srb->StreamObject != streamObject) {
    veltocam::host::ContractViolation("a stream request completed on another stream object");
    return;
  }
  RequestCompleted(streamObject->HwDeviceExtension, srb, true);
}

void StreamClassDeviceNotification(STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE type,
                                   PVOID hwDeviceExtension, ...) {
  va_list args;
  va_start(args, hwDeviceExtension);
  if (type == DeviceRequestComplete) {
    auto* srb = va_arg(args, HW_STREAM_REQUEST_BLOCK*);
    va_end(args);
    RequestCompleted(hwDeviceExtension, srb, false);
    return;
  }
  if (type == SignalMultipleDeviceEvents || type == SignalDeviceEvent) {
    const GUID* set = va_arg(args, const GUID*);
    ULONG id = va_arg(args, ULONG);
    va_end(args);
    DeviceEventSignalled(hwDeviceExtension, *set, id);
    return;
  }
  va_end(args);
}

void StreamClassQueryMasterClockSync(HANDLE masterClockHandle, HW_TIME_CONTEXT* timeContext) {
  using veltocam::host::Legacy;
  std::lock_guard lock(Legacy().mutex);
  auto& clocks = Legacy().clocks;
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

NTSTATUS StreamClassRegisterAdapter(PVOID argument1, PVOID,
                                    HW_INITIALIZATION_DATA* hwInitializationData) {
  auto* port = CurrentPort();
  if (port == nullptr) {
    veltocam::host::ContractViolation("StreamClassRegisterAdapter without a port loading a driver");
    return STATUS_UNSUCCESSFUL;
  }
  if (argument1 != &port->driver || hwInitializationData == nullptr ||
      hwInitializationData->HwInitializationDataSize != sizeof(HW_INITIALIZATION_DATA) ||
      hwInitializationData->HwReceivePacket == nullptr) {
    veltocam::host::ContractViolation("StreamClassRegisterAdapter with a malformed registration");
    return STATUS_INVALID_PARAMETER;
  }
  std::lock_guard lock(port->mutex);
  port->registration = *hwInitializationData;
  ++port->registrations;
  return STATUS_SUCCESS;
}
