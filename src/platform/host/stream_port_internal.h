// State shared by the host port's translation units: the loaded driver's
// registration, the devices and streams it started, and one record for every
// request block it issued, kept until the request came back.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/host/stream_port.h"

namespace veltocam::host {

namespace port {

struct Request {
  HW_STREAM_REQUEST_BLOCK srb{};
  std::vector<std::uint64_t> extension;  // the driver's per-request extension
  PortDevice* device = nullptr;
  PortStream* stream = nullptr;
  bool data = false;           // a read: freed by the port once it came back
  bool streamRequest = false;  // a stream request (codes below 0x100): completed as one
  bool completed = false;      // the driver said so
  bool returned = false;       // the call that handed it to the driver returned
  bool reported = false;       // the caller's completion routine ran
  int pins = 0;                // the port is calling the driver about it
  StreamRequestDone done;
};

}  // namespace port

struct PortStream {
  PortDevice* device = nullptr;
  HW_STREAM_OBJECT object{};
  PVOID extension = nullptr;
  std::vector<std::uint64_t> format;  // the open format, as long as the stream lives
  bool open = false;
};

struct PortDevice {
  StreamClassPort::State* port = nullptr;
  DEVICE_OBJECT deviceObject{};
  DEVICE_OBJECT* physicalDevice = nullptr;
  PVOID extension = nullptr;
  PORT_CONFIGURATION_INFORMATION config{};
  std::vector<std::uint64_t> streamInfo;
  std::vector<std::unique_ptr<PortStream>> streams;
  KTIMER timeoutTimer{};
  KDPC timeoutDpc{};
  bool timerArmed = false;
  bool uninitialised = false;
  int eventsEnabled = 0;
  std::size_t eventsSignalled = 0;

  const HW_STREAM_DESCRIPTOR* Descriptor() const {
    return streamInfo.empty() ? nullptr
                              : reinterpret_cast<const HW_STREAM_DESCRIPTOR*>(streamInfo.data());
  }
};

struct StreamClassPort::State {
  mutable std::mutex mutex;
  std::condition_variable changed;
  DRIVER_OBJECT driver{};
  HW_INITIALIZATION_DATA registration{};
  int registrations = 0;
  std::vector<std::unique_ptr<PortDevice>> devices;
  std::unordered_map<const HW_STREAM_REQUEST_BLOCK*, std::unique_ptr<port::Request>> requests;
  std::unordered_set<const HW_STREAM_REQUEST_BLOCK*> retired;
  std::uint64_t issued = 0;
  std::uint64_t completed = 0;

  // Caller holds the mutex.
  PortDevice* DeviceOf(PVOID hwDeviceExtension) const;
  // Frees a request that is done with, remembering its address so a second
  // completion is told from a stray one. Caller holds the mutex.
  void Retire(port::Request* request);
  void RetireIfDone(port::Request* request);

  // Records a new request block of `device` (and `stream`).
  port::Request* Issue(PortDevice* device, PortStream* stream, SRB_COMMAND command, bool data);
  // Hands it to `entry` and notes that the call returned.
  void Send(port::Request* request, void (*entry)(HW_STREAM_REQUEST_BLOCK*));
  // Issues, sends and waits; `result` reads the block before it is freed.
  NTSTATUS Synchronous(PortDevice* device, PortStream* stream, SRB_COMMAND command,
                       void (*entry)(HW_STREAM_REQUEST_BLOCK*), const RequestSetup& setup,
                       const RequestSetup& result);
  // Pumps (deterministic) or waits (real time) until `done` holds or
  // `timeout` passes; the predicate runs with the mutex held.
  bool WaitFor(const std::function<bool()>& done, std::int64_t timeout);

  // The driver completed a request, naming a device extension, through the
  // stream notification (`asStream`) or the device notification. False when
  // neither the request nor the extension is this port's.
  bool Completed(HW_STREAM_REQUEST_BLOCK* srb, PVOID hwDeviceExtension, bool asStream);
  // Requests of the device (or only of the stream) the driver still holds.
  std::size_t PendingOf(const PortDevice* device, const PortStream* stream) const;
  // Whether the port still keeps a request of the stream (one the driver is
  // being called about, or whose completion is being reported).
  bool Holds(const PortStream* stream) const;
  // Reports and forgets every request the device still has at the driver.
  void ReportLeftovers(PortDevice* device, const char* when);

  // The per-second count-down of queued reads' time-outs.
  void ArmTimeouts(PortDevice* device);
  static void TimeoutDpc(KDPC* dpc, PVOID device, PVOID, PVOID);
};

// The port that notifications and registrations reach, if one exists.
StreamClassPort::State* CurrentPort();
// Legacy notification sinks (devices no port started).
void LegacyRequestCompleted(HW_STREAM_REQUEST_BLOCK* srb);
void LegacyDeviceEvent(PVOID hwDeviceExtension, const GUID& set, ULONG id);

constexpr ULONG kPortPoolTag = PoolTag("Strm");
// How long the port waits for a request it sent before it gives up on it.
constexpr std::int64_t kRequestWait = 60LL * 10'000'000;

}  // namespace veltocam::host
