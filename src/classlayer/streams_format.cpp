// A new picture format for an open stream: the channel is prepared again for
// it while it is not running, so the camera set-up, the raw frame length, the
// transfers and the frame pipeline all follow the format the client reads.
#include "classlayer/frameengine.h"
#include "classlayer/streams.h"
#include "classlayer/video_format.h"

namespace {

NTSTATUS MayPrepareAgain(const ClassDevice* device, const Channel* channel) {
  if (!channel->Prepared || channel->Streaming || channel->StreamState == KSSTATE_RUN) {
    return STATUS_INVALID_DEVICE_STATE;
  }
  // A still stream sharing the video stream's transfers holds copies of them.
  const Channel* still = device->Channel[1];
  if (channel->StreamNumber == 0 && still != nullptr && still->Virtual) {
    return STATUS_INVALID_DEVICE_STATE;
  }
  return STATUS_SUCCESS;
}

void CancelDrainedReads(Channel* channel, LIST_ENTRY* drained) {
  while (!IsListEmpty(drained)) {
    CompleteCancelledRead(channel, CONTAINING_RECORD(RemoveHeadList(drained), FrameRequest, Link));
  }
}

NTSTATUS PrepareAgain(ClassDevice* device, Channel* channel, KSDATAFORMAT* format) {
  // The format in force, to come back to when the new one cannot be prepared.
  const ULONG oldBytes = channel->OpenFormat->FormatSize;
  auto* old =
      static_cast<KSDATAFORMAT*>(ExAllocatePoolWithTag(NonPagedPool, oldBytes, kClassPoolTag));
  if (old == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlCopyMemory(old, channel->OpenFormat, oldBytes);

  const ULONG n = channel->StreamNumber;
  UnprepareChannelLocked(device, channel, n);
  // Frames still being converted use the pipeline's present set-up.
  WaitForValue(&channel->CompletionsInFlight, 0);
  LIST_ENTRY drained;
  InitializeListHead(&drained);
  ULONG rawLength = 0;
  const NTSTATUS status = PrepareChannel(device, channel, format, n, &rawLength);
  if (NT_SUCCESS(status)) {
    StoreFormat(channel, format, rawLength, true, &drained);
  } else if (NT_SUCCESS(PrepareChannel(device, channel, old, n, &rawLength))) {
    StoreFormat(channel, old, rawLength, rawLength != channel->RawFrameLength, &drained);
  } else {
    StoreFormat(channel, old, 0, true, &drained);  // no read can be filled any more
  }
  ExFreePool(old);
  CancelDrainedReads(channel, &drained);
  return status;
}

}  // namespace

NTSTATUS PrepareChannelForFormat(ClassDevice* device, Channel* channel, KSDATAFORMAT* format) {
  AcquireChannelLock(device);
  NTSTATUS status = MayPrepareAgain(device, channel);
  if (NT_SUCCESS(status)) status = PrepareAgain(device, channel, format);
  ReleaseChannelLock(device);
  return status;
}
