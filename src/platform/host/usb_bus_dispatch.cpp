// The bus driver's dispatch routine: internal device controls in, each URB
// checked against what the bus knows before it is parked. The driver trusts
// descriptors and its own arithmetic; the bus trusts nothing it is given, so
// a malformed request fails with a USB and an NT status instead of a crash.
#include "platform/host/scheduler.h"
#include "platform/host/usb_bus_core.h"

namespace veltocam::host::usbbus {

NTSTATUS NtStatusForUsbd(USBD_STATUS status) {
  if (USBD_SUCCESS(status)) return STATUS_SUCCESS;
  switch (status) {
    case USBD_STATUS_CANCELED:
      return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE:
      return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_BAD_START_FRAME:
    case USBD_STATUS_BUFFER_TOO_SMALL:
    case USBD_STATUS_INTERFACE_NOT_FOUND:
    case USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR:
      return STATUS_INVALID_PARAMETER;
    case USBD_STATUS_INSUFFICIENT_RESOURCES:
      return STATUS_INSUFFICIENT_RESOURCES;
    case USBD_STATUS_NOT_SUPPORTED:
      return STATUS_NOT_SUPPORTED;
    case USBD_STATUS_TIMEOUT:
      return STATUS_IO_TIMEOUT;
    default:
      return STATUS_UNSUCCESSFUL;
  }
}

NTSTATUS BusCore::DispatchInternalControl(DEVICE_OBJECT* device, IRP* irp) {
  auto* bus = static_cast<BusCore*>(device->DeviceExtension);
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  UsbRequestRecord record;
  record.time = Now();
  record.ioControlCode = stack->Parameters.DeviceIoControl.IoControlCode;
  PVOID argument1 = stack->Parameters.Others.Argument1;
  switch (record.ioControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
      return bus->SubmitUrb(irp, static_cast<URB*>(argument1));
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
      return bus->SubmitPort(irp, Kind::PortStatus, static_cast<ULONG*>(argument1), record);
    case IOCTL_INTERNAL_USB_RESET_PORT:
      return bus->SubmitPort(irp, Kind::ResetPort, nullptr, record);
    default:
      return bus->CompleteAtOnce(irp, STATUS_INVALID_DEVICE_REQUEST, record);
  }
}

NTSTATUS BusCore::CompleteAtOnce(IRP* irp, NTSTATUS status, UsbRequestRecord& record) {
  record.sequence = nextSeq_++;
  record.completed = true;
  record.status = status;
  {
    std::lock_guard lock(lock_);
    LogLocked(record);
  }
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS BusCore::Reject(IRP* irp, URB* urb, USBD_STATUS status, UsbRequestRecord& record) {
  urb->UrbHeader.Status = status;
  record.usbdStatus = status;
  return CompleteAtOnce(irp, NtStatusForUsbd(status), record);
}

std::unique_ptr<Request> BusCore::NewRequest(Kind kind, IRP* irp, URB* urb,
                                             UsbRequestRecord& record) {
  auto request = std::make_unique<Request>();
  request->kind = kind;
  request->irp = irp;
  request->urb = urb;
  request->seq = nextSeq_++;
  record.sequence = request->seq;
  return request;
}

NTSTATUS BusCore::SubmitUrb(IRP* irp, URB* urb) {
  UsbRequestRecord record;
  record.time = Now();
  record.ioControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  if (urb == nullptr || urb->UrbHeader.Length < sizeof(_URB_HEADER)) {
    return CompleteAtOnce(irp, STATUS_INVALID_PARAMETER, record);
  }
  record.function = urb->UrbHeader.Function;
  if (!IsAttached()) return Reject(irp, urb, USBD_STATUS_DEVICE_GONE, record);
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_VENDOR_DEVICE:
      return SubmitControl(irp, urb, record);
    case URB_FUNCTION_SELECT_CONFIGURATION:
      return SubmitSelectConfiguration(irp, urb, record);
    case URB_FUNCTION_SELECT_INTERFACE:
      return SubmitSelectInterface(irp, urb, record);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
      return SubmitPipeRequest(irp, urb, record);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      return SubmitTransfer(irp, urb, record);
    case URB_FUNCTION_ISOCH_TRANSFER:
      return SubmitIsoch(irp, urb, record);
    default:
      return Reject(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION, record);
  }
}

NTSTATUS BusCore::SubmitControl(IRP* irp, URB* urb, UsbRequestRecord& record) {
  UsbSetupPacket setup{};
  PVOID buffer;
  ULONG* length;
  bool in;
  if (urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
    if (urb->UrbHeader.Length < sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST)) {
      return Reject(irp, urb, USBD_STATUS_INVALID_PARAMETER, record);
    }
    _URB_CONTROL_DESCRIPTOR_REQUEST& d = urb->UrbControlDescriptorRequest;
    setup = {0x80, USB_REQUEST_GET_DESCRIPTOR, static_cast<USHORT>(d.DescriptorType << 8 | d.Index),
             d.LanguageId, 0};
    buffer = d.TransferBuffer;
    length = &d.TransferBufferLength;
    in = true;
    if (d.UrbLink != nullptr) return Reject(irp, urb, USBD_STATUS_INVALID_PARAMETER, record);
  } else {
    if (urb->UrbHeader.Length < sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST)) {
      return Reject(irp, urb, USBD_STATUS_INVALID_PARAMETER, record);
    }
    _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& v = urb->UrbControlVendorClassRequest;
    in = (v.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    setup = {static_cast<UCHAR>((in ? 0x80 : 0) | USB_REQUEST_TYPE_VENDOR_DEVICE |
                                (v.RequestTypeReservedBits & 0x1F)),
             v.Request, v.Value, v.Index, 0};
    buffer = v.TransferBuffer;
    length = &v.TransferBufferLength;
    if (v.UrbLink != nullptr) return Reject(irp, urb, USBD_STATUS_INVALID_PARAMETER, record);
  }
  record.length = *length;
  // wLength is 16 bits wide; a data stage needs a buffer (the host has no MDLs).
  if (*length > 0xFFFF || (*length != 0 && buffer == nullptr)) {
    record.setup = setup;
    return Reject(irp, urb, USBD_STATUS_INVALID_PARAMETER, record);
  }
  setup.wLength = static_cast<USHORT>(*length);
  record.setup = setup;
  auto request = NewRequest(Kind::Control, irp, urb, record);
  request->setup = setup;
  request->in = in;
  request->transferBuffer = buffer;
  request->transferLength = length;
  request->queue = kDefaultPipeQueue;
  const auto* bytes = static_cast<const UCHAR*>(buffer);
  request->data = in ? std::vector<UCHAR>(*length) : std::vector<UCHAR>(bytes, bytes + *length);
  std::lock_guard lock(lock_);
  LogLocked(record);
  return ParkLocked(std::move(request));
}

NTSTATUS BusCore::SubmitPipeRequest(IRP* irp, URB* urb, UsbRequestRecord& record) {
  if (urb->UrbHeader.Length < sizeof(_URB_PIPE_REQUEST)) {
    return Reject(irp, urb, USBD_STATUS_INVALID_PARAMETER, record);
  }
  const bool abort = urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE;
  std::unique_lock lock(lock_);
  const Pipe* pipe = FindPipeLocked(urb->UrbPipeRequest.PipeHandle);
  if (pipe == nullptr) {
    lock.unlock();
    return Reject(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE, record);
  }
  record.endpointAddress = pipe->endpoint.address;
  auto request = NewRequest(abort ? Kind::AbortPipe : Kind::ResetPipe, irp, urb, record);
  request->pipe = *pipe;
  request->phase = Phase::Scheduled;
  request->due = Now();
  LogLocked(record);
  if (abort) {
    // Every transfer of the pipe ends first; the abort completes after them.
    const USBD_PIPE_HANDLE handle = pipe->handle;
    FailPendingLocked(
        [&](const Request& r) {
          return (r.kind == Kind::Transfer || r.kind == Kind::Isoch) && r.pipe.handle == handle;
        },
        USBD_STATUS_CANCELED);
  }
  return ParkLocked(std::move(request));
}

NTSTATUS BusCore::SubmitPort(IRP* irp, Kind kind, ULONG* portStatus, UsbRequestRecord& record) {
  if (kind == Kind::PortStatus && portStatus == nullptr) {
    return CompleteAtOnce(irp, STATUS_INVALID_PARAMETER, record);
  }
  if (!IsAttached()) {
    // Nothing on the port: a status query says so, a reset has nothing to reset.
    if (kind == Kind::ResetPort) return CompleteAtOnce(irp, STATUS_DEVICE_NOT_CONNECTED, record);
    *portStatus = 0;
    return CompleteAtOnce(irp, STATUS_SUCCESS, record);
  }
  auto request = NewRequest(kind, irp, nullptr, record);
  request->portStatus = portStatus;
  request->queue = kPortQueue;
  std::lock_guard lock(lock_);
  LogLocked(record);
  return ParkLocked(std::move(request));
}

Pipe* BusCore::FindPipeLocked(USBD_PIPE_HANDLE handle) {
  if (handle == nullptr) return nullptr;
  for (ActiveInterface& i : active_.interfaces) {
    for (Pipe& p : i.pipes) {
      if (p.handle == handle) return &p;
    }
  }
  return nullptr;
}

}  // namespace veltocam::host::usbbus
