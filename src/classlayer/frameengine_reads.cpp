// Read requests: arrival, queueing with their raw buffers, cancellation and
// time-out. A stream served by a bulk pipe starts the transfer that fills a
// read as soon as one is queued.
#include "classlayer/bulk.h"
#include "classlayer/callback_calls.h"
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

// Under CurrentLock, for the read being filled; true when it is to be
// completed here. An isochronous read owns only its raw buffer. A bulk read
// is written to by its transfer: that is cancelled, and completes the read
// once it is back.
bool CancelCurrentRead(Channel* channel, FrameRequest* request) {
  if (channel->PipeKind == kPipeKindBulk) {
    ClassDevice* device = channel->Device;
    const bool transferCompletes = CancelBulkRead(channel, request);
    if (!channel->NoRawProcessing) {
      // The device layer forgets the frame it was told of.
      CallProcessRawFrame(device, FrameContextOf(request), nullptr, 0, nullptr, 0, 0, nullptr, 0,
                          channel->StreamNumber);
    }
    if (transferCompletes) return false;
  }
  ReleaseRawBuffer(channel, request);
  channel->Current = nullptr;
  return true;
}

// The request's raw buffer for frames of `rawLength` bytes: the client's own
// buffer without raw processing, else a fresh allocation.
NTSTATUS TakeRawBuffer(Channel* channel, FrameRequest* request, ULONG rawLength) {
  if (rawLength == 0) return STATUS_INSUFFICIENT_RESOURCES;
  if (channel->NoRawProcessing) {
    KSSTREAM_HEADER* header = StreamHeaderOf(request->Srb);
    request->RawBuffer = static_cast<UCHAR*>(header->Data);
    request->RawBufferLength = header->FrameExtent;
    return STATUS_SUCCESS;
  }
  request->RawBufferLength = rawLength;
  request->RawBuffer =
      static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, rawLength, kClassPoolTag));
  return request->RawBuffer != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

// Under QueueLock: the video stream's reads must hold a whole picture, and a
// raw frame written into the client's buffer must not exceed one.
NTSTATUS CheckReadForFormat(const Channel* channel, const FrameRequest* request) {
  const KS_VIDEOINFOHEADER* info = channel->VideoInfo;
  const ULONG imageSize = info != nullptr ? info->bmiHeader.biSizeImage : 0;
  if (channel->StreamNumber == 0 &&
      (info == nullptr || StreamHeaderOf(request->Srb)->FrameExtent < imageSize)) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  if (channel->NoRawProcessing && channel->RawFrameLength > imageSize) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  return STATUS_SUCCESS;
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
  if (srb->Command == SRB_WRITE_DATA) {
    ReceiveWriteRequest(srb);
    return;
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
  srb->TimeoutCounter = srb->TimeoutOriginal =
      channel->StreamNumber == 0 ? kVideoReadTimeoutSeconds : kStillReadTimeoutSeconds;
  NTSTATUS status = QueueReadRequest(device, channel, request);
  if (!NT_SUCCESS(status)) {
    CompleteStreamRequest(srb, status);
  } else if (channel->PipeKind == kPipeKindBulk && !channel->Virtual) {
    StartBulkRead(device, channel);
  }
}

NTSTATUS QueueReadRequest(ClassDevice*, Channel* channel, FrameRequest* request) {
  for (;;) {
    const ULONG rawLength = __atomic_load_n(&channel->RawFrameLength, __ATOMIC_SEQ_CST);
    NTSTATUS status = TakeRawBuffer(channel, request, rawLength);
    if (!NT_SUCCESS(status)) return status;
    // A format change sets the image size and the raw frame length under the
    // queue's lock, and gives back the reads queued before: a read is checked
    // and queued against one format or the other.
    KIRQL oldIrql;
    KeAcquireSpinLock(&channel->QueueLock, &oldIrql);
    const bool current = channel->RawFrameLength == rawLength;
    if (current) status = CheckReadForFormat(channel, request);
    if (current && NT_SUCCESS(status)) InsertTailList(&channel->ReadQueue, &request->Link);
    KeReleaseSpinLock(&channel->QueueLock, oldIrql);
    if (current && NT_SUCCESS(status)) return STATUS_SUCCESS;
    ReleaseRawBuffer(channel, request);
    if (current) return status;
  }
}

void CancelReadRequest(HW_STREAM_REQUEST_BLOCK* srb) {
  if ((srb->Flags & SRB_HW_FLAGS_STREAM_REQUEST) == 0) return;
  if (srb->Command == SRB_WRITE_DATA) {
    CancelWriteRequest(srb);
    return;
  }
  if (srb->Command != SRB_READ_DATA) return;
  Channel* channel = ChannelOf(srb);
  auto* request = static_cast<FrameRequest*>(srb->SRBExtension);

  bool found = false;
  KIRQL oldIrql;
  KeAcquireSpinLock(&channel->CurrentLock, &oldIrql);
  if (channel->Current == request) found = CancelCurrentRead(channel, request);
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
    const bool eligible =
        device->DeviceState == kDeviceStarted && channel->StreamNumber <= 1 &&
        channel->StreamState == KSSTATE_RUN && !channel->Virtual && !channel->StoppedByClient &&
        (channel->PipeKind == kPipeKindIsochronous ||
         (channel->PipeKind == kPipeKindBulk && BulkTransferPending(device, channel->DataPipe)));
    if (eligible) QueueChannelReset(device, channel, static_cast<FrameRequest*>(srb->SRBExtension));
  }
  srb->TimeoutCounter = srb->TimeoutOriginal;
}
