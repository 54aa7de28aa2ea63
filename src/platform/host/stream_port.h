// The host's stream-class port: what the platform does for a stream-class
// minidriver. It loads the driver (its entry registers through
// StreamClassRegisterAdapter), adds and starts a device for a camera on the
// host USB bus, routes plug-and-play query-interface and power requests to
// the driver as device requests, opens and closes streams, passes stream
// requests on, counts queued stream requests' time-outs down, and takes the
// driver's notifications back: completed requests, device events, master
// clock queries.
//
// It is as strict as the platform: it records every request block it
// issued, and completing one twice, completing one it never issued, or
// leaving one uncompleted when the device goes away is a contract violation.
//
//   StreamClassPort port;
//   port.LoadDriver(DriverEntry);
//   PortDevice* device = nullptr;
//   port.AddDevice(bus.DeviceObject(), &device);   // initialise, stream info, complete
//   ...
//   port.RemoveDevice(device);                     // surprise removal, uninitialise
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/streamclass.h"

namespace veltocam::host {

// ---- Completions outside a port ---------------------------------------------
// Requests of devices that no port started (a test feeding the class layer
// directly) are kept here; the default handler keeps them for
// TakeCompletedRequests.
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
// Request blocks the live port issued that the driver has not completed (the
// test guard's check: every request comes back).
std::size_t StreamRequestsAtDriver();

// Until `ready` holds (checked with `mutex` held) or `timeout` (100 ns units)
// passes: pumps virtual time under the deterministic scheduler, waits on
// `changed` in real time. Returns whether `ready` held.
bool WaitUntil(std::mutex& mutex, std::condition_variable& changed,
               const std::function<bool()>& ready, std::int64_t timeout);

// ---- The port ------------------------------------------------------------------
using DriverEntryRoutine = NTSTATUS (*)(DRIVER_OBJECT* driverObject, UNICODE_STRING* registryPath);

struct PortDevice;  // a started device: its device object and the driver's extension
struct PortStream;  // an open stream: its stream object and the driver's extension

// Called once a stream request the port passed on has been completed; the
// request block is valid during the call only.
using StreamRequestDone = std::function<void(HW_STREAM_REQUEST_BLOCK* srb)>;
// Fills a request block before the port sends it (command data, buffers).
using RequestSetup = std::function<void(HW_STREAM_REQUEST_BLOCK* srb)>;

class StreamClassPort {
 public:
  // Becomes the port that registrations and notifications reach.
  StreamClassPort();
  // Removes every device still present, as RemoveDevice.
  ~StreamClassPort();
  StreamClassPort(const StreamClassPort&) = delete;
  StreamClassPort& operator=(const StreamClassPort&) = delete;

  // Calls the driver's entry; it must register exactly once.
  NTSTATUS LoadDriver(DriverEntryRoutine entry);
  // The registration record the driver gave (zero before it registered).
  const HW_INITIALIZATION_DATA& Registration() const;

  // Adds a device above `physicalDevice` (the bus's device object for the
  // camera) and starts it: device extension of the registered size,
  // SRB_INITIALIZE_DEVICE, SRB_GET_STREAM_INFO, SRB_INITIALIZATION_COMPLETE.
  // On failure nothing of the device is left and *device is null.
  NTSTATUS AddDevice(DEVICE_OBJECT* physicalDevice, PortDevice** device);
  // What the platform does when the camera goes: surprise removal, close of
  // the streams still open, uninitialisation (streams left open after an
  // earlier Uninitialize are closed then too), then the check that every
  // request came back, and the device's memory is released.
  void RemoveDevice(PortDevice* device);
  // The single steps, for a caller that takes the device down itself.
  NTSTATUS SurpriseRemoval(PortDevice* device);
  NTSTATUS Uninitialize(PortDevice* device);

  // The started devices, in the order they were added.
  std::vector<PortDevice*> Devices() const;
  // The device's functional device object, the driver's extension, and the
  // stream information the driver answered at start.
  DEVICE_OBJECT* DeviceObject(PortDevice* device) const;
  PVOID DeviceExtension(PortDevice* device) const;
  const HW_STREAM_DESCRIPTOR* StreamInformation(PortDevice* device) const;

  // A device request on its own (SRB_GET_DATA_INTERSECTION, ...): sent,
  // waited for; `setup` fills it and `result` reads it before it is freed.
  NTSTATUS DeviceRequest(PortDevice* device, SRB_COMMAND command, const RequestSetup& setup,
                         const RequestSetup& result = {});
  // IRP_MJ_POWER / IRP_MN_SET_POWER to the device object.
  NTSTATUS SetPowerState(PortDevice* device, DEVICE_POWER_STATE state);
  // The device event routine the stream information named, with the enable
  // flag; STATUS_NOT_SUPPORTED when the driver announced no device event.
  NTSTATUS EnableDeviceEvent(PortDevice* device, bool enable);
  // Device events the driver signalled while a client had them enabled.
  std::size_t DeviceEventsSignalled(PortDevice* device) const;
  // Waits until more than `seen` device events were signalled; false when
  // none came within `timeout` (100 ns units of scheduler time).
  bool WaitForDeviceEvent(PortDevice* device, std::size_t seen, std::int64_t timeout);

  // Opens stream `number` with a copy of `format`; *stream is null on failure.
  NTSTATUS OpenStream(PortDevice* device, ULONG number, const KSDATAFORMAT* format,
                      PortStream** stream);
  NTSTATUS CloseStream(PortStream* stream);
  // A stream control request, sent and waited for.
  NTSTATUS StreamControl(PortStream* stream, SRB_COMMAND command, const RequestSetup& setup,
                         const RequestSetup& result = {});
  // A read: `header` (with its frame information behind it) and its buffer
  // stay the caller's until `done` ran. Returns the request block, by which
  // the read can be cancelled.
  HW_STREAM_REQUEST_BLOCK* SubmitRead(PortStream* stream, KSSTREAM_HEADER* header,
                                      StreamRequestDone done);
  // The driver's cancel entry for a read still at the driver; false if it
  // already came back.
  bool CancelRead(HW_STREAM_REQUEST_BLOCK* srb);
  // Stream requests issued and not yet completed.
  std::size_t PendingRequests(PortDevice* device) const;
  // Request blocks issued to the driver, and completed by it, since the port
  // was made: equal once every request came back exactly once.
  std::uint64_t RequestsIssued() const;
  std::uint64_t RequestsCompleted() const;

  struct State;  // shared with the notification entry points

 private:
  std::unique_ptr<State> state_;
};

}  // namespace veltocam::host
