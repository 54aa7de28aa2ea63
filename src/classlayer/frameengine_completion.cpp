// Finished frames: the passive-level work item that runs ProcessRawFrame,
// delivers a snapshot copy to the still stream, and completes read requests
// with their presentation time, duration, picture number and drop count.
#include "classlayer/callback_calls.h"
#include "classlayer/device_events.h"
#include "classlayer/frameengine.h"

namespace {

struct FinishedFrame {
  FrameRequest* Request;
  ULONG StreamNumber;
  BOOLEAN Snapshot;
  NTSTATUS Status;  // a read whose transfer failed completes with it, and no data
};

struct FrameCompletionItem {
  WORK_QUEUE_ITEM Work;
  ::Channel* Channel;
  FinishedFrame Frame;
  LIST_ENTRY Link;  // in the channel's FinishedFrames until its routine runs
};

// The channel's oldest finished frame: what the running item completes,
// whichever item it came with. The frames after it move one item up, as far
// as the running one, which leaves the list: the rest keep their order, and
// no item on the list is one whose routine has run (and freed it).
FinishedFrame TakeOldestFrame(Channel* channel, FrameCompletionItem* own) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&channel->Device->CompletionLock, &oldIrql);
  auto* at = CONTAINING_RECORD(channel->FinishedFrames.Flink, FrameCompletionItem, Link);
  const FinishedFrame oldest = at->Frame;
  while (at != own) {
    auto* next = CONTAINING_RECORD(at->Link.Flink, FrameCompletionItem, Link);
    at->Frame = next->Frame;
    at = next;
  }
  RemoveEntryList(&own->Link);
  KeReleaseSpinLock(&channel->Device->CompletionLock, oldIrql);
  return oldest;
}

constexpr ULONG kClockFlags =
    KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID;

// Gives a snapshot copy of the finished video frame to the still stream's
// next request; the request that was filled, or null (the caller completes it
// on *still: the stream may be withdrawn meanwhile, the request keeps it).
FrameRequest* DeliverSnapshot(ClassDevice* device, const UCHAR* frame, ULONG bytes,
                              Channel** stillChannel) {
  Channel* still = device->Channel[1];
  *stillChannel = still;
  if (still == nullptr || !still->Prepared || !still->Streaming) return nullptr;
  LIST_ENTRY* entry = ExInterlockedRemoveHeadList(&still->ReadQueue, &still->QueueLock);
  if (entry == nullptr) return nullptr;
  FrameRequest* request = CONTAINING_RECORD(entry, FrameRequest, Link);
  KSSTREAM_HEADER* header = StreamHeaderOf(request->Srb);
  if (header->FrameExtent < bytes) {
    ExInterlockedInsertHeadList(&still->ReadQueue, &request->Link, &still->QueueLock);
    return nullptr;
  }
  RtlCopyMemory(header->Data, frame, bytes);
  return request;
}

}  // namespace

LONGLONG GetStreamTime(HW_STREAM_REQUEST_BLOCK* srb, Channel* channel) {
  if (channel->MasterClock == nullptr) return 0;
  HW_TIME_CONTEXT time{};
  time.HwDeviceExtension = channel->Device;
  time.HwStreamObject = srb->StreamObject;
  time.Function = TIME_GET_STREAM_TIME;
  StreamClassQueryMasterClockSync(channel->MasterClock, &time);
  return static_cast<LONGLONG>(time.Time);
}

void CompleteStreamRequest(HW_STREAM_REQUEST_BLOCK* srb, NTSTATUS status) {
  srb->Status = status;
  if (srb->Command == SRB_READ_DATA && StreamHeaderOf(srb) != nullptr) {
    StreamHeaderOf(srb)->DataUsed = 0;
  }
  StreamClassStreamNotification(StreamRequestComplete, srb->StreamObject, srb);
}

void QueueFrameCompletion(Channel* channel, FrameRequest* request, BOOLEAN snapshot,
                          NTSTATUS status) {
  ClassDevice* device = channel->Device;
  KIRQL oldIrql;
  KeAcquireSpinLock(&device->CompletionLock, &oldIrql);
  auto* item = static_cast<FrameCompletionItem*>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(FrameCompletionItem), kClassPoolTag));
  if (item == nullptr) {
    KeReleaseSpinLock(&device->CompletionLock, oldIrql);
    CompleteReadRequest(channel, request, STATUS_INSUFFICIENT_RESOURCES, 0);
    return;
  }
  item->Channel = channel;
  item->Frame = {request, channel->StreamNumber, snapshot, status};
  InsertTailList(&channel->FinishedFrames, &item->Link);
  InterlockedIncrement(&channel->CompletionsInFlight);
  ExInitializeWorkItem(&item->Work, FrameCompletionWork, item);
  ExQueueWorkItem(&item->Work, CriticalWorkQueue);
  KeReleaseSpinLock(&device->CompletionLock, oldIrql);
}

namespace {

// Runs the device layer's processing of a finished frame and completes its
// read, with the still stream's copy when the frame is a snapshot.
void DeliverFinishedFrame(Channel* channel, const FinishedFrame& frame) {
  ClassDevice* device = channel->Device;
  FrameRequest* request = frame.Request;
  KSSTREAM_HEADER* header = StreamHeaderOf(request->Srb);
  if (channel->TakeStartTime) {
    channel->StartTime = GetStreamTime(request->Srb, channel);
    channel->TakeStartTime = 0;
  }

  auto* frameBuffer = static_cast<UCHAR*>(header->Data);
  const ULONG frameLength = header->FrameExtent;
  ULONG bytesReturned = request->ActualRawFrameLength;
  NTSTATUS status = STATUS_SUCCESS;
  if (!channel->NoRawProcessing) {
    status =
        CallProcessRawFrame(device, FrameContextOf(request), frameBuffer, frameLength,
                            request->RawBuffer, request->RawBufferLength, request->NumberOfPackets,
                            &bytesReturned, request->ActualRawFrameLength, frame.StreamNumber);
  } else if (bytesReturned > request->BytesWritten) {
    // The client's buffer was the raw buffer: only what fitted is there.
    bytesReturned = request->BytesWritten;
  }
  // Never report more data than the client's buffer holds.
  if (bytesReturned > frameLength) bytesReturned = frameLength;

  FrameRequest* snapshot = nullptr;
  Channel* still = nullptr;
  if (frame.Snapshot) {
    if ((device->ControlFlags & kDeviceEvents) != 0) SignalSnapshotEvent(device);
    snapshot = DeliverSnapshot(device, frameBuffer, bytesReturned, &still);
  }
  CompleteReadRequest(channel, request, status, bytesReturned);
  if (snapshot != nullptr) CompleteReadRequest(still, snapshot, status, bytesReturned);
}

}  // namespace

void FrameCompletionWork(PVOID context) {
  auto* own = static_cast<FrameCompletionItem*>(context);
  Channel* channel = own->Channel;
  KeWaitForSingleObject(&channel->WorkLock, Executive, KernelMode, FALSE, nullptr);
  const FinishedFrame frame = TakeOldestFrame(channel, own);
  StreamHeaderOf(frame.Request->Srb)->OptionsFlags = 0;
  if (NT_SUCCESS(frame.Status)) {
    DeliverFinishedFrame(channel, frame);
  } else {
    CompleteReadRequest(channel, frame.Request, frame.Status, 0);
  }
  KeReleaseSemaphore(&channel->WorkLock, 0, 1, FALSE);
  ExFreePool(own);
  InterlockedDecrement(&channel->CompletionsInFlight);  // the last touch of the channel
}

void CompleteReadRequest(Channel* channel, FrameRequest* request, NTSTATUS status,
                         ULONG bytesReturned) {
  HW_STREAM_REQUEST_BLOCK* srb = request->Srb;
  KSSTREAM_HEADER* header = StreamHeaderOf(srb);
  KS_FRAME_INFO* frameInfo = FrameInfoOf(header);
  const bool video = channel->StreamNumber == 0;

  srb->Status = status;
  header->DataUsed = bytesReturned;
  if (video) channel->FrameInfo.ExtendedHeaderSize = frameInfo->ExtendedHeaderSize;
  header->PresentationTime.Numerator = 1;
  header->PresentationTime.Denominator = 1;
  const LONGLONG frameTime =
      channel->VideoInfo != nullptr ? channel->VideoInfo->AvgTimePerFrame : 0;
  header->Duration = frameTime;
  header->PresentationTime.Time = channel->MasterClock != nullptr ? GetStreamTime(srb, channel) : 0;

  if (video) {
    LONGLONG picture;
    if (frameTime > 0) {
      const auto elapsed =
          static_cast<ULONGLONG>(header->PresentationTime.Time - channel->StartTime);
      const auto period = static_cast<ULONGLONG>(frameTime);
      // A bulk frame is complete when its last byte arrives, later for a
      // larger frame: counted to the nearest period rather than up to the
      // next, so that this does not show as a dropped picture.
      const ULONGLONG whole = elapsed / period, part = elapsed % period;
      const bool bulk = channel->PipeKind == kPipeKindBulk;
      picture = static_cast<LONGLONG>(whole + (bulk ? part >= period - period / 2 : part != 0));
    } else {
      // No frame duration to count time in: number the pictures by the frames
      // delivered, which is what the clock gives when nothing is dropped.
      picture = channel->FramesCompleted > 0 ? channel->FramesCompleted : 0;
    }
    channel->FrameInfo.PictureNumber = picture;
    const LONGLONG drops = picture - channel->FramesCompleted;
    channel->FrameInfo.DropCount = drops > 0 ? drops : 0;
  }

  if (header->OptionsFlags == 0) header->OptionsFlags = KSSTREAM_HEADER_OPTIONSF_SPLICEPOINT;
  if (channel->MasterClock != nullptr) {
    header->OptionsFlags |= kClockFlags;
  } else {
    header->OptionsFlags &= ~kClockFlags;
  }
  if (video) RtlCopyMemory(frameInfo, &channel->FrameInfo, sizeof(KS_FRAME_INFO));
  if (!channel->NoRawProcessing && request->RawBuffer != nullptr) {
    ExFreePool(request->RawBuffer);
    request->RawBuffer = nullptr;
  }
  StreamClassStreamNotification(StreamRequestComplete, srb->StreamObject, srb);
}
