// Read requests: arrival, queueing with their raw buffers, cancellation and
// time-out.
#include "classlayer/frameengine.h"
#include "classlayer/recovery.h"

namespace {

Channel* ChannelOf(HW_STREAM_REQUEST_BLOCK* srb) {
  return static_cast<Channel*>(srb->StreamObject->HwStreamExtension);
}

void ReleaseRawBuffer(Channel* channel, FrameRequest* request) {
  if (channel->NoRawProcessing || request->RawBuffer == nullptr) return;
  ExFreePool(request->RawBuffer);
  request->RawBuffer = nullptr;
}

// Unlinks the request from the channel's read queue; false when not there.
bool RemoveFromQueue(Channel* channel, FrameRequest* request) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&channel->QueueLock, &oldIrql);
  bool found = false;
  for (LIST_ENTRY* e = channel->ReadQueue.Flink; e != &channel->ReadQueue; e = e->Flink) {
    if (e == &request->Link) {
      RemoveEntryList(e);
      found = true;
      break;
    }
  }
  KeReleaseSpinLock(&channel->QueueLock, oldIrql);
  return found;
}

}  // namespace

void ReceiveReadRequest(HW_STREAM_REQUEST_BLOCK* srb) {
  Channel* channel = ChannelOf(srb);
  ClassDevice* device = channel->Device;
  if (channel->DeviceDataHandler != nullptr) {
    BOOLEAN handled = FALSE;
    channel->DeviceDataHandler(srb, &handled);
    if (handled) return;
  }
  if (channel->StreamState == KSSTATE_STOP) {
    CompleteStreamRequest(srb, STATUS_SUCCESS);
    return;
  }
  if (device->Removed) {
    CompleteStreamRequest(srb, STATUS_CANCELLED);
    return;
  }

  auto* request = static_cast<FrameRequest*>(srb->SRBExtension);
  request->Tag = kFrameRequestTag;
  request->Srb = srb;
  request->Irp = srb->Irp;
  request->RawBuffer = nullptr;
  KSSTREAM_HEADER* header = StreamHeaderOf(srb);
  if (channel->StreamNumber == 0 &&
      (channel->VideoInfo == nullptr ||
       header->FrameExtent < channel->VideoInfo->bmiHeader.biSizeImage)) {
    CompleteStreamRequest(srb, STATUS_INSUFFICIENT_RESOURCES);
    return;
  }
  srb->TimeoutCounter = srb->TimeoutOriginal =
      channel->StreamNumber == 0 ? kVideoReadTimeoutSeconds : kStillReadTimeoutSeconds;
  NTSTATUS status = QueueReadRequest(device, channel, request);
  if (!NT_SUCCESS(status)) CompleteStreamRequest(srb, status);
}

NTSTATUS QueueReadRequest(ClassDevice*, Channel* channel, FrameRequest* request) {
  KSSTREAM_HEADER* header = StreamHeaderOf(request->Srb);
  if (channel->NoRawProcessing) {
    const ULONG imageSize =
        channel->VideoInfo != nullptr ? channel->VideoInfo->bmiHeader.biSizeImage : 0;
    if (channel->RawFrameLength == 0 || channel->RawFrameLength > imageSize) {
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    request->RawBuffer = static_cast<UCHAR*>(header->Data);
    request->RawBufferLength = header->FrameExtent;
  } else {
    if (channel->RawFrameLength == 0) return STATUS_INSUFFICIENT_RESOURCES;
    request->RawBufferLength = channel->RawFrameLength;
    request->RawBuffer = static_cast<UCHAR*>(
        ExAllocatePoolWithTag(NonPagedPool, channel->RawFrameLength, kClassPoolTag));
    if (request->RawBuffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  }
  ExInterlockedInsertTailList(&channel->ReadQueue, &request->Link, &channel->QueueLock);
  return STATUS_SUCCESS;
}

void CancelReadRequest(HW_STREAM_REQUEST_BLOCK* srb) {
  if ((srb->Flags & SRB_HW_FLAGS_STREAM_REQUEST) == 0 || srb->Command != SRB_READ_DATA) return;
  Channel* channel = ChannelOf(srb);
  auto* request = static_cast<FrameRequest*>(srb->SRBExtension);

  bool found = false;
  KIRQL oldIrql;
  KeAcquireSpinLock(&channel->CurrentLock, &oldIrql);
  if (channel->Current == request) {
    // An isochronous request being filled owns only its raw buffer; nothing
    // else refers to it once it is no longer current.
    ReleaseRawBuffer(channel, request);
    channel->Current = nullptr;
    found = true;
  }
  KeReleaseSpinLock(&channel->CurrentLock, oldIrql);

  if (!found && RemoveFromQueue(channel, request)) {
    ReleaseRawBuffer(channel, request);
    found = true;
  }
  if (!found) return;  // already with the completion work item
  CompleteStreamRequest(srb, STATUS_CANCELLED);
}

void CompleteCancelledRead(Channel* channel, FrameRequest* request) {
  ReleaseRawBuffer(channel, request);
  CompleteStreamRequest(request->Srb, STATUS_CANCELLED);
}

void CancelQueuedReads(Channel* channel) {
  while (LIST_ENTRY* entry =
             ExInterlockedRemoveHeadList(&channel->ReadQueue, &channel->QueueLock)) {
    CompleteCancelledRead(channel, CONTAINING_RECORD(entry, FrameRequest, Link));
  }
}

void CancelChannelReads(Channel* channel) {
  CancelQueuedReads(channel);
  KIRQL oldIrql;
  KeAcquireSpinLock(&channel->CurrentLock, &oldIrql);
  FrameRequest* current = channel->Current;
  channel->Current = nullptr;
  KeReleaseSpinLock(&channel->CurrentLock, oldIrql);
  if (current != nullptr) CompleteCancelledRead(channel, current);
}

void ReadRequestTimeout(HW_STREAM_REQUEST_BLOCK* srb) {
  const bool dataRequest = (srb->Flags & SRB_HW_FLAGS_STREAM_REQUEST) != 0 &&
                           (srb->Flags & SRB_HW_FLAGS_DATA_TRANSFER) != 0 &&
                           srb->StreamObject != nullptr;
  if (dataRequest) {
    Channel* channel = ChannelOf(srb);
    ClassDevice* device = channel->Device;
    const bool eligible = device->DeviceState == kDeviceStarted && channel->StreamNumber <= 1 &&
                          channel->StreamState == KSSTATE_RUN && !channel->Virtual &&
                          !channel->StoppedByClient && channel->PipeKind == kPipeKindIsochronous;
    if (eligible) QueueChannelReset(device, channel, static_cast<FrameRequest*>(srb->SRBExtension));
  }
  srb->TimeoutCounter = srb->TimeoutOriginal;
}
