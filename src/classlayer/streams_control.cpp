// Stream control requests: serialised per stream (one is handled at a time,
// the others wait in arrival order), offered to the device layer's handler
// first, then answered here: state, stream properties, master clock.
#include "classlayer/frameengine.h"
#include "classlayer/streams.h"

namespace {

Channel* ChannelOf(HW_STREAM_REQUEST_BLOCK* srb) {
  return static_cast<Channel*>(srb->StreamObject->HwStreamExtension);
}

// Pause from stop or acquire starts the frame count afresh; the first frame
// delivered then takes the start time.
void RebaseFrameCounters(Channel* channel) {
  channel->FramesCompleted = -1;
  channel->FrameInfo.PictureNumber = 0;
  channel->FrameInfo.DropCount = 0;
  channel->FrameInfo.dwFrameFlags = 0;
  channel->TakeStartTime = 1;
}

// The state word as the client sent it: any value may come, so it is read as
// a plain number, not as the enumeration.
ULONG RequestedState(const HW_STREAM_REQUEST_BLOCK* srb) {
  ULONG state;
  RtlCopyMemory(&state, &srb->CommandData, sizeof state);
  return state;
}

NTSTATUS SetStreamState(ClassDevice* device, Channel* channel, ULONG state) {
  if (channel->StreamNumber == 1 && channel->Virtual && device->Channel[0] == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  if (state > KSSTATE_RUN) return STATUS_NOT_IMPLEMENTED;  // not a state: the one in force stays
  const ULONG previous = channel->StreamState;
  // The state is in force before the transfers follow it, so that a restart
  // of the pipes meanwhile (pipe control, power-up) finds the stream's state.
  channel->StreamState = state;
  switch (state) {
    case KSSTATE_STOP:
      if (channel->Streaming) return StopStreaming(device, channel);
      // Nothing streams (never run, or held stopped by the device layer):
      // the reads still waiting come back now, not at close.
      CancelChannelReads(channel);
      return STATUS_SUCCESS;
    case KSSTATE_PAUSE:
      if (previous == KSSTATE_STOP || previous == KSSTATE_ACQUIRE) RebaseFrameCounters(channel);
      return STATUS_SUCCESS;
    case KSSTATE_RUN:
      return channel->Streaming ? STATUS_SUCCESS : StartStreaming(device, channel);
    default:
      return STATUS_SUCCESS;  // acquire
  }
}

NTSTATUS HandleControlRequest(ClassDevice* device, Channel* channel, HW_STREAM_REQUEST_BLOCK* srb) {
  switch (srb->Command) {
    case SRB_GET_STREAM_STATE:
      srb->CommandData.StreamState = static_cast<KSSTATE>(channel->StreamState);
      srb->ActualBytesTransferred = sizeof(KSSTATE);
      return channel->StreamState == KSSTATE_PAUSE ? STATUS_NO_DATA_DETECTED : STATUS_SUCCESS;
    case SRB_SET_STREAM_STATE:
      return SetStreamState(device, channel, RequestedState(srb));
    case SRB_GET_STREAM_PROPERTY:
      return GetStreamProperty(channel, srb);
    case SRB_INDICATE_MASTER_CLOCK:
      channel->MasterClock =
          channel->StreamNumber == 0 ? srb->CommandData.MasterClockHandle : nullptr;
      return STATUS_SUCCESS;
    default:
      return STATUS_NOT_IMPLEMENTED;
  }
}

// The device layer's handler sees the request first and may complete it.
void DispatchControlRequest(ClassDevice* device, Channel* channel, HW_STREAM_REQUEST_BLOCK* srb) {
  if (channel->DeviceControlHandler != nullptr) {
    BOOLEAN handled = FALSE;
    channel->DeviceControlHandler(srb, &handled);
    if (handled) return;
  }
  srb->Status = HandleControlRequest(device, channel, srb);
  StreamClassStreamNotification(StreamRequestComplete, srb->StreamObject, srb);
}

LIST_ENTRY* WaitLinkOf(HW_STREAM_REQUEST_BLOCK* srb) {
  return &static_cast<FrameRequest*>(srb->SRBExtension)->Link;
}

// The next waiting request of the stream, or null after marking it idle.
HW_STREAM_REQUEST_BLOCK* NextWaitingRequest(ClassDevice* device, ULONG stream) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&device->ControlLock, &oldIrql);
  HW_STREAM_REQUEST_BLOCK* next = nullptr;
  if (IsListEmpty(&device->ControlWaitList[stream])) {
    device->ControlBusy[stream] = 0;
  } else {
    LIST_ENTRY* entry = RemoveHeadList(&device->ControlWaitList[stream]);
    next = CONTAINING_RECORD(entry, FrameRequest, Link)->Srb;
  }
  KeReleaseSpinLock(&device->ControlLock, oldIrql);
  return next;
}

}  // namespace

void ReceiveControlRequest(HW_STREAM_REQUEST_BLOCK* srb) {
  Channel* channel = ChannelOf(srb);
  ClassDevice* device = channel->Device;
  const ULONG stream = channel->StreamNumber;

  KIRQL oldIrql;
  KeAcquireSpinLock(&device->ControlLock, &oldIrql);
  if (device->ControlBusy[stream] == 1) {
    static_cast<FrameRequest*>(srb->SRBExtension)->Srb = srb;
    InsertTailList(&device->ControlWaitList[stream], WaitLinkOf(srb));
    KeReleaseSpinLock(&device->ControlLock, oldIrql);
    return;  // the thread already busy handles it in turn
  }
  device->ControlBusy[stream] = 1;
  KeReleaseSpinLock(&device->ControlLock, oldIrql);

  for (HW_STREAM_REQUEST_BLOCK* next = srb; next != nullptr;
       next = NextWaitingRequest(device, stream)) {
    DispatchControlRequest(device, channel, next);
  }
}
