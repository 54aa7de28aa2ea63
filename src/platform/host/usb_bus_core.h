// The host USB bus inside: the requests it holds, the device's configuration
// and pipes, and the engine that answers requests from the device model.
//
// Life of a request: the dispatch routine checks it (a malformed request
// fails at once) and parks it, pending and cancellable. The bus's DPC then
// asks the model (requests that share a queue - the default pipe, one bulk or
// interrupt pipe, the port - one at a time), lets the model's delay run on the
// scheduler's clock, finishes it when it comes due (isochronous packets are
// gathered then, a selection takes effect then) and completes it, always at
// DISPATCH_LEVEL. Whoever takes a parked request out first - the DPC, a
// cancel routine, an abort - must first clear its cancel routine, so each
// request completes exactly once.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "platform/host/usb_bus.h"
#include "platform/host/usb_descriptors.h"

namespace veltocam::host::usbbus {

constexpr std::uint64_t kFrameTicks = 10'000;  // one USB frame: 1 ms in 100 ns units

enum class Kind {
  Control,  // descriptor reads and vendor requests on the default pipe
  SelectConfiguration,
  SelectInterface,
  AbortPipe,
  ResetPipe,
  Transfer,  // bulk or interrupt
  Isoch,
  PortStatus,
  ResetPort,
};

enum class Phase {
  Queued,          // behind its queue's head; the model has not seen it
  Scheduled,       // the answer is known; completes at `due`
  Never,           // the device does not answer
  WaitingForData,  // re-asked when the model signals data on the endpoint
};

// Requests with the same key reach the model one at a time (0: no queue).
constexpr std::uintptr_t kNoQueue = 0;
constexpr std::uintptr_t kDefaultPipeQueue = 1;
constexpr std::uintptr_t kPortQueue = 2;

struct Pipe {
  USBD_PIPE_HANDLE handle = nullptr;
  UsbEndpointInfo endpoint{};
  bool halted = false;  // bulk and interrupt pipes after a stall or babble, until reset
  // The longest bulk or interrupt transfer the driver announced at selection.
  ULONG maxTransfer = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
};

struct ActiveInterface {
  UsbAlternateSetting setting;
  USBD_INTERFACE_HANDLE handle = nullptr;
  std::vector<Pipe> pipes;  // in endpoint descriptor order
};

struct ActiveConfiguration {
  USBD_CONFIGURATION_HANDLE handle = nullptr;  // null: unconfigured
  UCHAR value = 0;
  std::vector<ActiveInterface> interfaces;
};

// A selection that takes effect when its request completes.
struct Selection {
  bool unconfigure = false;
  ActiveConfiguration configuration;                 // select configuration
  std::vector<USBD_INTERFACE_INFORMATION*> records;  // the URB's, one per interface
  ActiveInterface interface;                         // select interface
  USBD_CONFIGURATION_HANDLE configurationHandle = nullptr;
};

struct Request {
  std::uint64_t seq = 0;
  Kind kind = Kind::Control;
  IRP* irp = nullptr;
  URB* urb = nullptr;           // null for the port requests
  ULONG* portStatus = nullptr;  // GET_PORT_STATUS
  std::uintptr_t queue = kNoQueue;
  Phase phase = Phase::Queued;
  std::uint64_t due = 0;                          // scheduler time
  bool cancelRunning = false;                     // its cancel routine won; it moves the request
  USBD_STATUS lateFailure = USBD_STATUS_SUCCESS;  // failed while the DPC held it

  USBD_STATUS usbd = USBD_STATUS_SUCCESS;
  ULONG bytes = 0;        // data stage bytes moved
  bool finished = false;  // result final: packets gathered, selection applied

  // Control and bulk/interrupt transfers: the data stage, written back into
  // the driver's buffer when the request completes.
  UsbSetupPacket setup{};
  bool in = false;
  ULONG length = 0;         // the driver's transfer length
  bool shortOk = false;     // bulk and interrupt IN: USBD_SHORT_TRANSFER_OK
  std::vector<UCHAR> data;  // bulk and interrupt IN: whole packets, the last may overrun
  PVOID transferBuffer = nullptr;
  ULONG* transferLength = nullptr;

  Pipe pipe;                     // pipe requests and transfers
  std::uint64_t startFrame = 0;  // isochronous
  std::uint64_t firstServableFrame = 0;
  ULONG packets = 0;
  std::unique_ptr<Selection> selection;
};

NTSTATUS NtStatusForUsbd(USBD_STATUS status);

class BusCore final : public UsbHost {
 public:
  BusCore();
  ~BusCore();
  BusCore(const BusCore&) = delete;
  BusCore& operator=(const BusCore&) = delete;

  DEVICE_OBJECT* Device() { return &device_; }
  void Attach(UsbDeviceModel& model);
  void Detach();
  bool IsAttached() const;
  ULONG PortBits() const;
  UCHAR ConfigurationValue() const;
  int AlternateSetting(UCHAR interfaceNumber) const;
  std::size_t PendingRequests() const;
  std::vector<UsbRequestRecord> Requests() const;
  std::size_t RequestCount(USHORT urbFunction) const;
  std::size_t IoctlCount(ULONG ioControlCode) const;
  void ClearRequestLog();

  // UsbHost
  ULONG CurrentFrame() const override;
  void DataReady(UCHAR endpointAddress) override;
  void DisablePort() override;
  void Unplug() override;

 private:
  static NTSTATUS DispatchInternalControl(DEVICE_OBJECT* device, IRP* irp);
  static void CancelRoutine(DEVICE_OBJECT* device, IRP* irp);
  static void DpcRoutine(KDPC* dpc, PVOID context, PVOID, PVOID);

  // Dispatch: checks each request and parks it or fails it at once.
  NTSTATUS SubmitUrb(IRP* irp, URB* urb);
  NTSTATUS SubmitControl(IRP* irp, URB* urb, UsbRequestRecord& record);
  NTSTATUS SubmitTransfer(IRP* irp, URB* urb, UsbRequestRecord& record);
  NTSTATUS SubmitPipeRequest(IRP* irp, URB* urb, UsbRequestRecord& record);
  NTSTATUS SubmitIsoch(IRP* irp, URB* urb, UsbRequestRecord& record);
  NTSTATUS SubmitSelectConfiguration(IRP* irp, URB* urb, UsbRequestRecord& record);
  NTSTATUS SubmitSelectInterface(IRP* irp, URB* urb, UsbRequestRecord& record);
  NTSTATUS SubmitPort(IRP* irp, Kind kind, ULONG* portStatus, UsbRequestRecord& record);
  NTSTATUS Reject(IRP* irp, URB* urb, USBD_STATUS status, UsbRequestRecord& record);
  // A bulk or interrupt transfer the pipe cannot take; SUCCESS when it can.
  static USBD_STATUS CheckTransfer(const Pipe* pipe, const _URB_BULK_OR_INTERRUPT_TRANSFER& t);
  // The device's answer to a bulk or interrupt IN transfer as the host
  // controller sees it: babble past the buffer, or a short transfer the
  // driver did not allow.
  static void CheckTransferReply(const Request& request, UsbReply& reply);
  NTSTATUS CompleteAtOnce(IRP* irp, NTSTATUS status, UsbRequestRecord& record);
  std::unique_ptr<Request> NewRequest(Kind kind, IRP* irp, URB* urb, UsbRequestRecord& record);

  // Engine (caller holds lock_ where the name says Locked).
  NTSTATUS ParkLocked(std::unique_ptr<Request> request);
  void InsertPendingLocked(std::unique_ptr<Request> request);
  bool ClaimLocked(Request& request);
  void MoveToReadyLocked(std::uint64_t seq, USBD_STATUS status);
  void FailPendingLocked(const std::function<bool(const Request&)>& which, USBD_STATUS status);
  bool HasWorkLocked(std::uint64_t now);
  void ScheduleLocked();
  std::unique_ptr<Request> TakeDueLocked(std::uint64_t now);
  std::unique_ptr<Request> TakeActivatableLocked();
  void RunDpc();
  void Activate(std::unique_ptr<Request> request);
  UsbReply AskModel(Request& request);
  void Finish(Request& request);
  void Complete(std::unique_ptr<Request> request);
  void DisablePortLocked();

  // Configuration and pipes.
  const UsbConfiguration* FindConfigurationLocked(UCHAR value) const;
  Pipe* FindPipeLocked(USBD_PIPE_HANDLE handle);
  UsbReply AskSelection(const Selection& selection, Kind kind);
  void ApplySelection(Request& request);
  void RestoreDeviceState();

  // Isochronous transfers.
  void GatherIsochPackets(Request& request);

  // Log.
  void LogLocked(const UsbRequestRecord& record);
  void LogCompletion(std::uint64_t seq, NTSTATUS status, USBD_STATUS usbd, ULONG bytes);

  DRIVER_OBJECT driver_{};
  DEVICE_OBJECT device_{};
  KTIMER timer_{};
  KDPC dpc_{};

  mutable std::mutex lock_;
  std::recursive_mutex modelLock_;   // held while the model is called
  UsbDeviceModel* model_ = nullptr;  // guarded by modelLock_
  std::vector<UCHAR> scratch_;       // an isochronous packet, used by the DPC only
  std::atomic<std::uint64_t> nextSeq_{1};

  // Guarded by lock_.
  bool attached_ = false;
  bool portEnabled_ = false;
  std::uint64_t disabledFromFrame_ = UINT64_MAX;
  bool unplugRequested_ = false;
  bool closing_ = false;
  std::vector<UsbConfiguration> configurations_;  // the device's, read when plugged in
  ActiveConfiguration active_;
  std::map<std::uint64_t, std::unique_ptr<Request>> pending_;  // by sequence
  std::deque<std::unique_ptr<Request>> ready_;                 // final; completed in this order
  Request* inFlight_ = nullptr;  // held by the DPC while it asks the model
  std::set<UCHAR> dataReady_;
  std::deque<UsbRequestRecord> log_;
  std::map<USHORT, std::size_t> urbCounts_;
  std::map<ULONG, std::size_t> ioctlCounts_;
};

}  // namespace veltocam::host::usbbus
