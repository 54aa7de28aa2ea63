// Starting and stopping a channel's transfers: the run state resets the pipes
// and submits both transfer sets (a bulk channel starts filling its reads); a
// stop aborts the pipes or cancels the bulk transfer and waits for the
// watchdog to see every transfer back.
#include "classlayer/bulk.h"
#include "classlayer/frameengine.h"
#include "classlayer/recovery.h"
#include "classlayer/streams.h"

namespace {

NTSTATUS StartLocked(ClassDevice* device, Channel* channel) {
  if (channel->Streaming) return STATUS_UNSUCCESSFUL;
  // A format change that could prepare neither format left nothing to run.
  if (!channel->Prepared) return STATUS_INVALID_DEVICE_STATE;
  // Held stopped by the device layer or a power-down, the camera is not
  // capturing: the restart starts the transfers of a stream in the run state.
  if (channel->StoppedByClient) return STATUS_SUCCESS;
  if (channel->Virtual) {
    const Channel* video = device->Channel[0];
    if (video == nullptr || !video->Streaming) return STATUS_UNSUCCESSFUL;
    channel->Streaming = 1;
    return STATUS_SUCCESS;
  }
  if (channel->PipeKind == kPipeKindBulk) {
    channel->Streaming = 1;  // the bulk service fills the reads from now on
    StartBulkRead(device, channel);
    return STATUS_SUCCESS;
  }
  const NTSTATUS status = ResetChannelPipes(device, channel);
  if (NT_SUCCESS(status)) StartIsoStreaming(device, channel, TRUE);
  return status;
}

// Waits for the watchdog to finish the stop. A stop that times out still
// ends: the flag goes, so a later start does not find its transfers halted.
void AwaitStop(Channel* channel) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = kIdleWaitTimeout;
  const NTSTATUS waited =
      KeWaitForSingleObject(&channel->StopEvent, Executive, KernelMode, FALSE, &timeout);
  if (waited == STATUS_TIMEOUT) ClearStateFlags(channel, kChannelStopping);
}

}  // namespace

NTSTATUS StopStreamingLocked(ClassDevice* device, Channel* channel) {
  if (!channel->Streaming) return STATUS_SUCCESS;
  KeClearEvent(&channel->StopEvent);
  SetStateFlags(channel, kChannelStopping);
  NTSTATUS status = STATUS_SUCCESS;
  if (!channel->Virtual) {
    if (channel->PipeKind == kPipeKindIsochronous) {
      // No set goes out again once the flag is seen; one already on its way
      // is caught by the abort.
      CancelResubmission(channel);
      KeFlushQueuedDpcs();
      status = AbortChannelPipes(device, channel);
    } else if (channel->PipeKind == kPipeKindBulk) {
      // The read being filled goes back to its queue once its transfer is
      // back; the watchdog then ends the reads as for any stop.
      status = CancelBulkTransfer(device, channel->DataPipe, FALSE);
    }
  }
  AwaitStop(channel);
  channel->ErrorFlag = 0;
  channel->Streaming = 0;
  return status;
}

NTSTATUS StartStreaming(ClassDevice* device, Channel* channel) {
  AcquireChannelLock(device);
  const NTSTATUS status = StartLocked(device, channel);
  ReleaseChannelLock(device);
  return status;
}

NTSTATUS StopStreaming(ClassDevice* device, Channel* channel) {
  AcquireChannelLock(device);
  const NTSTATUS status = StopStreamingLocked(device, channel);
  ReleaseChannelLock(device);
  return status;
}
