// Bulk and interrupt transfers. The device moves whole packets of the pipe's
// maximum packet size; a transfer ends when its buffer is full or when a
// packet comes short. The bus holds the driver to what the platform's bus
// driver does: no transfer longer than the maximum transfer size given at
// selection, a packet that runs past the buffer is babble (the transfer
// fails and the pipe halts until it is reset), and a short transfer is an
// error unless the driver allowed it with USBD_SHORT_TRANSFER_OK.
#include "platform/host/scheduler.h"
#include "platform/host/usb_bus_core.h"

namespace veltocam::host::usbbus {
namespace {

// The room for the packets a transfer of `length` bytes asks the device for.
std::size_t WholePackets(ULONG length, USHORT maxPacket) {
  if (maxPacket == 0) return length;
  return (static_cast<std::size_t>(length) + maxPacket - 1) / maxPacket * maxPacket;
}

}  // namespace

USBD_STATUS BusCore::CheckTransfer(const Pipe* pipe, const _URB_BULK_OR_INTERRUPT_TRANSFER& t) {
  if (pipe == nullptr) return USBD_STATUS_INVALID_PIPE_HANDLE;
  const UCHAR type = pipe->endpoint.Type();
  if ((type != USB_ENDPOINT_TYPE_BULK && type != USB_ENDPOINT_TYPE_INTERRUPT) ||
      (t.TransferBufferLength != 0 && t.TransferBuffer == nullptr) || t.UrbLink != nullptr ||
      t.TransferBufferLength > pipe->maxTransfer) {
    return USBD_STATUS_INVALID_PARAMETER;
  }
  return USBD_STATUS_SUCCESS;
}

NTSTATUS BusCore::SubmitTransfer(IRP* irp, URB* urb, UsbRequestRecord& record) {
  if (urb->UrbHeader.Length < sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER)) {
    return Reject(irp, urb, USBD_STATUS_INVALID_PARAMETER, record);
  }
  _URB_BULK_OR_INTERRUPT_TRANSFER& t = urb->UrbBulkOrInterruptTransfer;
  record.length = t.TransferBufferLength;
  // Checked and parked under one hold of the lock, so that the pipe cannot
  // go away in between.
  std::unique_lock lock(lock_);
  const Pipe* pipe = FindPipeLocked(t.PipeHandle);
  if (pipe != nullptr) record.endpointAddress = pipe->endpoint.address;
  const USBD_STATUS refusal = CheckTransfer(pipe, t);
  if (refusal != USBD_STATUS_SUCCESS) {
    lock.unlock();
    return Reject(irp, urb, refusal, record);
  }
  auto request = NewRequest(Kind::Transfer, irp, urb, record);
  request->pipe = *pipe;
  // The endpoint, not the flags, decides the direction, as on the platform.
  request->in = pipe->endpoint.In();
  request->length = t.TransferBufferLength;
  request->shortOk = (t.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
  request->transferBuffer = t.TransferBuffer;
  request->transferLength = &t.TransferBufferLength;
  request->queue = reinterpret_cast<std::uintptr_t>(pipe->handle);
  const auto* bytes = static_cast<const UCHAR*>(t.TransferBuffer);
  request->data =
      request->in
          ? std::vector<UCHAR>(WholePackets(t.TransferBufferLength, pipe->endpoint.maxPacketSize))
          : std::vector<UCHAR>(bytes, bytes + t.TransferBufferLength);
  LogLocked(record);
  return ParkLocked(std::move(request));
}

void BusCore::CheckTransferReply(const Request& request, UsbReply& reply) {
  if (request.kind != Kind::Transfer || !request.in || !USBD_SUCCESS(reply.status) ||
      reply.when != UsbReply::When::After) {
    return;
  }
  if (reply.bytes > request.length) {
    reply.status = USBD_STATUS_BUFFER_OVERRUN;
    reply.bytes = request.length;
  } else if (reply.bytes < request.length && !request.shortOk) {
    reply.status = USBD_STATUS_DATA_UNDERRUN;
  }
}

}  // namespace veltocam::host::usbbus
