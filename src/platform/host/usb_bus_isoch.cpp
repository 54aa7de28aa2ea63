// Isochronous transfers on the bus's 1 ms frames. A transfer of N packets
// occupies N consecutive frames - with the start-as-soon-as-possible flag
// right after the transfers already scheduled on its pipe, or the next frame
// when there are none - and completes at the end of its last frame. Its
// packets are gathered then, one model call per frame; frames no transfer
// covered are simply missed by the host.
#include <algorithm>
#include <cstring>

#include "platform/host/scheduler.h"
#include "platform/host/usb_bus_core.h"

namespace veltocam::host::usbbus {
namespace {

// The packet offsets must rise and stay inside the buffer: each packet owns
// the bytes up to the next one's offset (the last, up to the buffer's end).
bool OffsetsValid(const _URB_ISOCH_TRANSFER& t) {
  const USBD_ISO_PACKET_DESCRIPTOR* packets = t.IsoPacket;
  for (ULONG i = 0; i < t.NumberOfPackets; ++i) {
    if (packets[i].Offset >= t.TransferBufferLength) return false;
    if (i > 0 && packets[i].Offset < packets[i - 1].Offset) return false;
  }
  return true;
}

}  // namespace

NTSTATUS BusCore::SubmitIsoch(IRP* irp, URB* urb, UsbRequestRecord& record) {
  _URB_ISOCH_TRANSFER& t = urb->UrbIsochronousTransfer;
  if (urb->UrbHeader.Length < sizeof(_URB_ISOCH_TRANSFER)) {
    return Reject(irp, urb, USBD_STATUS_INVALID_PARAMETER, record);
  }
  record.length = t.TransferBufferLength;
  record.packets = t.NumberOfPackets;
  if (t.NumberOfPackets == 0 || t.NumberOfPackets > USBD_MAX_ISO_PACKETS ||
      urb->UrbHeader.Length < GET_ISO_URB_SIZE(t.NumberOfPackets) || t.TransferBuffer == nullptr ||
      t.TransferBufferLength == 0 || t.UrbLink != nullptr || !OffsetsValid(t)) {
    return Reject(irp, urb, USBD_STATUS_INVALID_PARAMETER, record);
  }
  std::unique_lock lock(lock_);
  const Pipe* pipe = FindPipeLocked(t.PipeHandle);
  USBD_STATUS refusal = USBD_STATUS_SUCCESS;
  std::uint64_t start = 0;
  const std::uint64_t current = Now() / kFrameTicks;
  if (pipe == nullptr) {
    refusal = USBD_STATUS_INVALID_PIPE_HANDLE;
  } else if (pipe->endpoint.Type() != USB_ENDPOINT_TYPE_ISOCHRONOUS) {
    refusal = USBD_STATUS_INVALID_PARAMETER;
  } else {
    record.endpointAddress = pipe->endpoint.address;
    bool queued = false;
    std::uint64_t end = 0;
    for (const auto& [seq, r] : pending_) {
      if (r->kind == Kind::Isoch && r->pipe.handle == pipe->handle) {
        queued = true;
        end = std::max(end, r->startFrame + r->packets);
      }
    }
    if ((t.TransferFlags & USBD_START_ISO_TRANSFER_ASAP) != 0) {
      start = queued ? end : current + 1;
    } else {
      // The driver names a 32-bit frame; it must lie ahead, within range, and
      // not overlap what is scheduled.
      const auto ahead = static_cast<LONG>(t.StartFrame - static_cast<ULONG>(current));
      start = current + static_cast<std::uint64_t>(ahead > 0 ? ahead : 0);
      if (ahead <= 0 || static_cast<ULONG>(ahead) >= USBD_ISO_START_FRAME_RANGE ||
          (queued && start < end)) {
        refusal = USBD_STATUS_BAD_START_FRAME;
      }
    }
  }
  if (refusal != USBD_STATUS_SUCCESS) {
    lock.unlock();
    return Reject(irp, urb, refusal, record);
  }
  t.StartFrame = static_cast<ULONG>(start);
  record.startFrame = t.StartFrame;
  auto request = NewRequest(Kind::Isoch, irp, urb, record);
  request->pipe = *pipe;
  request->in = pipe->endpoint.In();
  request->startFrame = start;
  request->packets = t.NumberOfPackets;
  // Frames already over when the transfer arrived (a late resubmission) are
  // missed; the frame in progress still counts.
  request->firstServableFrame = current;
  request->phase = Phase::Scheduled;
  request->due = (start + t.NumberOfPackets) * kFrameTicks;
  LogLocked(record);
  return ParkLocked(std::move(request));
}

void BusCore::GatherIsochPackets(Request& request) {
  _URB_ISOCH_TRANSFER& t = request.urb->UrbIsochronousTransfer;
  USBD_ISO_PACKET_DESCRIPTOR* packets = t.IsoPacket;
  auto* buffer = static_cast<UCHAR*>(t.TransferBuffer);
  const ULONG maxPacket = request.pipe.endpoint.maxPacketSize;
  std::uint64_t disabledFrom;
  {
    std::lock_guard lock(lock_);
    disabledFrom = disabledFromFrame_;
  }
  if (scratch_.size() < maxPacket) scratch_.resize(maxPacket);
  ULONG errors = 0;
  std::lock_guard modelGuard(modelLock_);
  for (ULONG i = 0; i < request.packets; ++i) {
    const std::uint64_t frame = request.startFrame + i;
    const ULONG offset = packets[i].Offset;
    const ULONG room =
        (i + 1 < request.packets ? packets[i + 1].Offset : t.TransferBufferLength) - offset;
    USBD_STATUS status;
    ULONG length = 0;
    if (frame < request.firstServableFrame) {
      status = USBD_STATUS_ISO_NOT_ACCESSED_LATE;
    } else if (frame >= disabledFrom) {
      status = USBD_STATUS_DEV_NOT_RESPONDING;
    } else if (model_ == nullptr) {
      status = USBD_STATUS_DEVICE_GONE;
    } else if (request.in) {
      const UsbIsoPacket packet =
          model_->IsochInPacket(request.pipe.endpoint.address, static_cast<ULONG>(frame),
                                std::span<UCHAR>(scratch_.data(), maxPacket));
      status = packet.status;
      length = std::min(packet.length, maxPacket);
      if (length > room) {
        // More than the driver made room for: what fits, and the packet fails.
        length = room;
        status = USBD_STATUS_DATA_OVERRUN;
      }
      if (length != 0) std::memcpy(buffer + offset, scratch_.data(), length);
    } else {
      status = model_->IsochOutPacket(
          request.pipe.endpoint.address, static_cast<ULONG>(frame),
          std::span<const UCHAR>(buffer + offset, std::min(room, maxPacket)));
    }
    packets[i].Length = length;
    packets[i].Status = status;
    if (USBD_ERROR(status)) ++errors;
  }
  t.ErrorCount = errors;
  request.usbd = errors == request.packets ? USBD_STATUS_ISOCH_REQUEST_FAILED : USBD_STATUS_SUCCESS;
}

}  // namespace veltocam::host::usbbus
