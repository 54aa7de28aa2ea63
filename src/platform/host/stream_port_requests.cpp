// The port's request records: issuing a block, handing it to the driver,
// waiting for it, taking the driver's completion, and the strictness checks.
#include <chrono>
#include <cstdio>
#include <string>

#include "platform/host/contract_violations.h"
#include "platform/host/scheduler.h"
#include "platform/host/stream_port_internal.h"

namespace veltocam::host {

using port::Request;

PortDevice* StreamClassPort::State::DeviceOf(PVOID hwDeviceExtension) const {
  for (const auto& device : devices) {
    if (device->extension == hwDeviceExtension) return device.get();
  }
  return nullptr;
}

void StreamClassPort::State::Retire(Request* request) {
  const HW_STREAM_REQUEST_BLOCK* srb = &request->srb;
  retired.insert(srb);
  requests.erase(srb);
}

void StreamClassPort::State::RetireIfDone(Request* request) {
  if (request->data && request->completed && request->returned && request->reported &&
      request->pins == 0) {
    Retire(request);
  }
}

Request* StreamClassPort::State::Issue(PortDevice* device, PortStream* stream, SRB_COMMAND command,
                                       bool data) {
  auto request = std::make_unique<Request>();
  const ULONG extensionSize = registration.PerRequestExtensionSize;
  request->extension.assign((extensionSize + 7) / 8 + 1, 0);
  request->device = device;
  request->stream = stream;
  request->data = data;
  // Opening and closing a stream are device requests that name the stream.
  request->streamRequest = stream != nullptr && command < SRB_GET_STREAM_INFO;
  HW_STREAM_REQUEST_BLOCK& srb = request->srb;
  srb.SizeOfThisPacket = sizeof srb;
  srb.Command = command;
  srb.Status = STATUS_PENDING;
  srb.StreamObject = stream != nullptr ? &stream->object : nullptr;
  srb.HwDeviceExtension = device->extension;
  srb.SRBExtension = request->extension.data();
  if (request->streamRequest) srb.Flags = SRB_HW_FLAGS_STREAM_REQUEST;
  if (data) srb.Flags |= SRB_HW_FLAGS_DATA_TRANSFER;
  Request* raw = request.get();
  std::lock_guard lock(mutex);
  ++issued;
  retired.erase(&raw->srb);
  requests.emplace(&raw->srb, std::move(request));
  return raw;
}

void StreamClassPort::State::Send(Request* request, void (*entry)(HW_STREAM_REQUEST_BLOCK*)) {
  entry(&request->srb);
  std::lock_guard lock(mutex);
  request->returned = true;
  RetireIfDone(request);
  changed.notify_all();
}

bool WaitUntil(std::mutex& mutex, std::condition_variable& changed,
               const std::function<bool()>& ready, std::int64_t timeout) {
  if (CurrentSchedulerMode() == SchedulerMode::Deterministic) {
    const std::uint64_t deadline = Now() + static_cast<std::uint64_t>(timeout);
    return PumpUntil(
        [&] {
          std::lock_guard lock(mutex);
          return ready();
        },
        &deadline);
  }
  std::unique_lock lock(mutex);
  return changed.wait_for(lock, std::chrono::nanoseconds(timeout * 100), ready);
}

bool StreamClassPort::State::WaitFor(const std::function<bool()>& done, std::int64_t timeout) {
  return WaitUntil(mutex, changed, done, timeout);
}

NTSTATUS StreamClassPort::State::Synchronous(PortDevice* device, PortStream* stream,
                                             SRB_COMMAND command,
                                             void (*entry)(HW_STREAM_REQUEST_BLOCK*),
                                             const RequestSetup& setup,
                                             const RequestSetup& result) {
  Request* request = Issue(device, stream, command, false);
  if (setup) setup(&request->srb);
  Send(request, entry);
  if (!WaitFor([&] { return request->completed; }, kRequestWait)) {
    return STATUS_IO_TIMEOUT;  // still the driver's: reported when the device goes
  }
  const NTSTATUS status = request->srb.Status;
  if (result) result(&request->srb);
  std::lock_guard lock(mutex);
  Retire(request);
  return status;
}

namespace {

// What is wrong with the way the driver completed `request`, or null.
const char* CompletionMismatch(const Request& request, PVOID hwDeviceExtension, bool asStream) {
  if (request.streamRequest != asStream) {
    return asStream ? "a device request completed as a stream request"
                    : "a stream request completed as a device request";
  }
  if (hwDeviceExtension != request.device->extension) {
    return "a request block completed for another device";
  }
  return nullptr;
}

}  // namespace

bool StreamClassPort::State::Completed(HW_STREAM_REQUEST_BLOCK* srb, PVOID hwDeviceExtension,
                                       bool asStream) {
  StreamRequestDone done;
  Request* request = nullptr;
  {
    std::lock_guard lock(mutex);
    auto it = requests.find(srb);
    if (it == requests.end() && DeviceOf(hwDeviceExtension) == nullptr) return false;
    if (it == requests.end() || it->second->completed) {
      const bool twice = it != requests.end() || retired.count(srb) != 0;
      ContractViolation(twice ? "a request block completed twice"
                              : "a request block completed that the port never issued");
      return true;
    }
    request = it->second.get();
    if (const char* mismatch = CompletionMismatch(*request, hwDeviceExtension, asStream)) {
      ContractViolation(mismatch);
      return true;
    }
    request->completed = true;
    ++completed;
    request->pins += 1;  // the caller's routine reads the block
    done = request->done;
  }
  if (done) done(srb);
  std::lock_guard lock(mutex);
  request->pins -= 1;
  request->reported = true;
  RetireIfDone(request);
  changed.notify_all();
  return true;
}

std::size_t StreamClassPort::State::PendingOf(const PortDevice* device,
                                              const PortStream* stream) const {
  std::size_t count = 0;
  for (const auto& [srb, request] : requests) {
    if (request->device == device && !request->completed &&
        (stream == nullptr || request->stream == stream)) {
      ++count;
    }
  }
  return count;
}

std::size_t StreamRequestsAtDriver() {
  StreamClassPort::State* port = CurrentPort();
  if (port == nullptr) return 0;
  std::lock_guard lock(port->mutex);
  std::size_t count = 0;
  for (const auto& entry : port->requests) count += entry.second->completed ? 0 : 1;
  return count;
}

bool StreamClassPort::State::Holds(const PortStream* stream) const {
  for (const auto& [srb, request] : requests) {
    if (request->stream == stream) return true;
  }
  return false;
}

void StreamClassPort::State::ReportLeftovers(PortDevice* device, const char* when) {
  std::vector<std::string> leftovers;
  {
    std::lock_guard lock(mutex);
    for (auto it = requests.begin(); it != requests.end();) {
      if (it->second->device != device) {
        ++it;
        continue;
      }
      if (!it->second->completed) {
        char text[96];
        std::snprintf(text, sizeof text, "request 0x%X left uncompleted %s",
                      static_cast<unsigned>(it->second->srb.Command), when);
        leftovers.emplace_back(text);
      }
      retired.insert(it->first);
      it = requests.erase(it);
    }
  }
  for (const std::string& text : leftovers) ContractViolation(text.c_str());
}

void StreamClassPort::State::ArmTimeouts(PortDevice* device) {
  std::lock_guard lock(mutex);
  if (device->timerArmed) return;
  device->timerArmed = true;
  SetDeviceTimer(&device->timeoutTimer, -Seconds(1), 1000, &device->timeoutDpc);
}

// Once a second: every queued stream request with a time-out counts down; at
// 0 the driver's time-out entry decides (it reloads the count).
void StreamClassPort::State::TimeoutDpc(KDPC*, PVOID context, PVOID, PVOID) {
  auto* device = static_cast<PortDevice*>(context);
  State* port = device->port;
  std::vector<Request*> expired;
  {
    std::lock_guard lock(port->mutex);
    bool waiting = false;
    for (auto& [srb, request] : port->requests) {
      if (request->device != device || !request->data || request->completed) continue;
      HW_STREAM_REQUEST_BLOCK& block = request->srb;
      if (block.TimeoutCounter == 0) continue;
      waiting = true;
      if (--block.TimeoutCounter == 0) {
        request->pins += 1;
        expired.push_back(request.get());
      }
    }
    if (!waiting) {
      KeCancelTimer(&device->timeoutTimer);
      device->timerArmed = false;
    }
  }
  for (Request* request : expired) {
    if (port->registration.HwRequestTimeoutHandler != nullptr) {
      port->registration.HwRequestTimeoutHandler(&request->srb);
    }
    std::lock_guard lock(port->mutex);
    request->pins -= 1;
    port->RetireIfDone(request);
  }
}

}  // namespace veltocam::host
