// Stream 1 write requests: the client's data goes out over the device's
// first bulk OUT pipe in one transfer.
#include "classlayer/bulk.h"
#include "classlayer/callback_calls.h"
#include "classlayer/frameengine.h"
#include "classlayer/usbconfig.h"

namespace {

constexpr ULONG kWritingStream = 1;

LONG FirstBulkOutPipe(const ClassDevice* device) {
  for (ULONG i = 0; device->PipeTable != nullptr && i < device->NumberOfPipes; ++i) {
    const PipeEntry& pipe = device->PipeTable[i];
    if (pipe.TransferType == USB_ENDPOINT_TYPE_BULK && !pipe.DirectionIn) {
      return static_cast<LONG>(i);
    }
  }
  return -1;
}

void WriteComplete(PVOID, PVOID context, NTSTATUS status) {
  auto* request = static_cast<FrameRequest*>(context);
  CompleteStreamRequest(request->Srb, status);
}

}  // namespace

void ReceiveWriteRequest(HW_STREAM_REQUEST_BLOCK* srb) {
  auto* channel = static_cast<Channel*>(srb->StreamObject->HwStreamExtension);
  ClassDevice* device = channel->Device;
  const LONG pipe = FirstBulkOutPipe(device);
  if (channel->StreamNumber != kWritingStream || pipe < 0) {
    CompleteStreamRequest(srb, STATUS_NOT_IMPLEMENTED);
    return;
  }
  auto* request = static_cast<FrameRequest*>(srb->SRBExtension);
  request->Tag = kFrameRequestTag;
  request->Srb = srb;
  request->Irp = srb->Irp;
  KSSTREAM_HEADER* header = StreamHeaderOf(srb);
  // Never more bytes than the client's buffer holds.
  if (header == nullptr || header->Data == nullptr || header->DataUsed == 0 ||
      header->DataUsed > header->FrameExtent) {
    CompleteStreamRequest(srb, STATUS_INVALID_PARAMETER);
    return;
  }
  request->FrameLength = header->DataUsed;
  CallNewFrame(device, FrameContextOf(request), kWritingStream, &request->FrameLength);
  const TransferArgs args{
      nullptr, nullptr, header->Data, header->DataUsed, pipe, WriteComplete, request, 0, 0};
  bool sent;
  const NTSTATUS status = StartTransfer(device, args, &sent);
  if (!sent) CompleteStreamRequest(srb, status);
}

void CancelWriteRequest(HW_STREAM_REQUEST_BLOCK* srb) {
  auto* channel = static_cast<Channel*>(srb->StreamObject->HwStreamExtension);
  ClassDevice* device = channel->Device;
  const LONG pipe = FirstBulkOutPipe(device);
  if (!IsPipeOfInterface(device, pipe)) return;
  auto* request = static_cast<FrameRequest*>(srb->SRBExtension);
  KIRQL oldIrql;
  KeAcquireSpinLock(&device->PipeTableLock, &oldIrql);
  const PipeEntry& entry = device->PipeTable[pipe];
  // A paused write is not started again; one in flight is called back. Its
  // completion then completes the request with STATUS_CANCELLED.
  const PVOID slots[] = {entry.SavedTransfer, entry.PendingTransfer};
  for (PVOID slot : slots) {
    auto* t = static_cast<BulkTransferRecord*>(slot);
    if (t == nullptr || t->Completion != WriteComplete || t->CompletionContext != request) continue;
    t->CancelFlags |= kBulkOwnerCancelled;
    // Under the lock: the transfer cannot end, and its record go, before this.
    if (slot == entry.PendingTransfer) IoCancelIrp(t->Irp);
  }
  KeReleaseSpinLock(&device->PipeTableLock, oldIrql);
}

void ReleaseBulkTransfers(ClassDevice* device) {
  for (ULONG i = 0; device->PipeTable != nullptr && i < device->NumberOfPipes; ++i) {
    CancelBulkTransfer(device, static_cast<LONG>(i), FALSE);
    auto* saved = static_cast<BulkTransferRecord*>(device->PipeTable[i].SavedTransfer);
    device->PipeTable[i].SavedTransfer = nullptr;
    if (saved != nullptr) FreeBulkTransfer(saved);
  }
}
