// Reads of a stream served by a bulk pipe: each read is filled by one
// transfer on the channel's data pipe. While the channel streams, the next
// queued read starts as soon as the pipe is free, so frames follow each
// other without waiting for the previous one's conversion.
#include "classlayer/bulk.h"
#include "classlayer/callback_calls.h"
#include "classlayer/frameengine.h"
#include "classlayer/usbconfig.h"

namespace {

bool ReadsMayStart(const ClassDevice* device, const Channel* channel) {
  // After an error the reads wait for the recovery to reset the pipe.
  return channel->PipeKind == kPipeKindBulk && channel->Streaming && channel->ErrorFlag == 0 &&
         (channel->StateFlags & (kChannelStopping | kChannelAwaitingIdle)) == 0 &&
         device->BulkPauseCount == 0 && device->DeviceState != kDeviceRemoved && !device->Removed;
}

// Current stops being the request; false when it was not.
bool ReleaseCurrent(Channel* channel, FrameRequest* request) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&channel->CurrentLock, &oldIrql);
  const bool current = request != nullptr && channel->Current == request;
  if (current) channel->Current = nullptr;
  KeReleaseSpinLock(&channel->CurrentLock, oldIrql);
  return current;
}

}  // namespace

FrameRequest* TakeBulkRead(ClassDevice* device, Channel* channel, ULONG* length) {
  FrameRequest* request = nullptr;
  KIRQL oldIrql;
  KeAcquireSpinLock(&channel->CurrentLock, &oldIrql);
  if (channel->Current == nullptr) {
    if (LIST_ENTRY* entry = ExInterlockedRemoveHeadList(&channel->ReadQueue, &channel->QueueLock)) {
      request = CONTAINING_RECORD(entry, FrameRequest, Link);
      channel->Current = request;
      request->Drop = 0;
      request->BytesWritten = request->NumberOfPackets = request->ActualRawFrameLength = 0;
      request->FrameLength = request->RawBufferLength;
      // Under the lock, as in the packet walk: a cancel cannot complete the
      // read while the device layer is told of its frame.
      CallNewFrame(device, FrameContextOf(request), channel->StreamNumber, &request->FrameLength);
      // The device layer may shorten the read, never make it outgrow the buffer.
      *length = request->FrameLength < request->RawBufferLength ? request->FrameLength
                                                                : request->RawBufferLength;
    }
  }
  KeReleaseSpinLock(&channel->CurrentLock, oldIrql);
  return request;
}

NTSTATUS StartBulkRead(ClassDevice* device, Channel* channel) {
  if (!ReadsMayStart(device, channel) || BulkTransferPending(device, channel->DataPipe)) {
    return STATUS_SUCCESS;
  }
  ULONG length = 0;
  FrameRequest* request = TakeBulkRead(device, channel, &length);
  if (request == nullptr) return STATUS_SUCCESS;
  const TransferArgs args{
      channel, request, request->RawBuffer, length, channel->DataPipe, nullptr, nullptr, 0, 0};
  bool sent;
  const NTSTATUS status = StartTransfer(device, args, &sent);
  if (!sent) {
    ReturnBulkRead(channel, request);
    // A read given up or a channel stopping meanwhile is no fault of the pipe.
    if (status != STATUS_CANCELLED) channel->ErrorFlag = 1;
  }
  return status;
}

void ReturnBulkRead(Channel* channel, FrameRequest* request) {
  if (ReleaseCurrent(channel, request)) {
    ExInterlockedInsertHeadList(&channel->ReadQueue, &request->Link, &channel->QueueLock);
  }
}

void FinishBulkRead(BulkTransferRecord* t, NTSTATUS status) {
  Channel* channel = t->Channel;
  FrameRequest* request = t->Request;
  // Current is given up here, so a cancel arriving later finds the read
  // with its completion and leaves it alone.
  if (!ReleaseCurrent(channel, request)) return;
  if ((t->CancelFlags & kBulkOwnerCancelled) != 0) {
    CompleteCancelledRead(channel, request);
  } else if (status == STATUS_CANCELLED) {
    // The pipe was aborted under it: it waits for a later frame.
    ExInterlockedInsertHeadList(&channel->ReadQueue, &request->Link, &channel->QueueLock);
  } else if (NT_SUCCESS(status)) {
    request->ActualRawFrameLength = request->BytesWritten = t->Total;
    request->NumberOfPackets = 0;
    // Counted as the packet walk counts a finished frame, so that the drop
    // count shows only the frames that found no read.
    ++channel->FramesCompleted;
    QueueFrameCompletion(channel, request, FALSE);
    StartBulkRead(t->Device, channel);
  } else {
    QueueFrameCompletion(channel, request, FALSE, status);
  }
}

bool CancelBulkRead(Channel* channel, FrameRequest* request) {
  ClassDevice* device = channel->Device;
  if (!IsPipeOfInterface(device, channel->DataPipe)) return false;
  KIRQL oldIrql;
  KeAcquireSpinLock(&device->PipeTableLock, &oldIrql);
  const PipeEntry& entry = device->PipeTable[channel->DataPipe];
  auto* pending = static_cast<BulkTransferRecord*>(entry.PendingTransfer);
  auto* saved = static_cast<BulkTransferRecord*>(entry.SavedTransfer);
  if (pending != nullptr && pending->Request != request) pending = nullptr;
  if (saved != nullptr && saved->Request != request) saved = nullptr;
  // The transfer completes the read when it is in flight, or when a pause
  // still waits for it to come back; a paused one that is back is simply
  // not restarted for a read that is no longer Current.
  bool completes = pending != nullptr;
  if (pending != nullptr) pending->CancelFlags |= kBulkOwnerCancelled;
  if (saved != nullptr) {
    saved->CancelFlags |= kBulkOwnerCancelled;
    completes = completes || (saved->CancelFlags & kBulkCancelWaiting) != 0;
  }
  KeReleaseSpinLock(&device->PipeTableLock, oldIrql);
  // Under CurrentLock the record cannot end before this: ending it needs
  // that lock to give up Current.
  if (pending != nullptr) IoCancelIrp(pending->Irp);
  return completes;
}
