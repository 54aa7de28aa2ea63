// Stopping and restarting the video stream's transfers for the device layer
// (IsoPipeControl, for example around a change of alternate setting) and for
// the device power transitions.
#include "classlayer/callback_calls.h"
#include "classlayer/frameengine.h"
#include "classlayer/recovery.h"
#include "classlayer/streams.h"
#include "classlayer/usbrequests.h"

namespace {

constexpr ULONG kPipeStop = 1;
// Device power states.
constexpr ULONG kPowerD0 = 1;
constexpr ULONG kPowerD3 = 4;

struct PipeControlItem {
  WORK_QUEUE_ITEM Work;
  ClassDevice* Device;
  ULONG State;
};

// Reads stay queued; the watchdog puts the request being filled back at the
// head of the queue.
void StopByClient(ClassDevice* device, Channel* channel) {
  channel->StoppedByClient = 1;
  StopStreamingLocked(device, channel);
}

// Brings the port, the pipes and the camera back and resubmits the
// transfers. A stream that is not in the run state only has its camera
// restarted: its transfers start when it runs. Transfers already out (a
// stream the client started meanwhile) are not sent a second time, and a
// channel being closed (no longer prepared) is left alone.
void RestartByClient(ClassDevice* device, Channel* channel) {
  channel->StoppedByClient = 0;
  if (!channel->Prepared) return;
  ULONG port = 0;
  const NTSTATUS portResult = GetPortStatus(device, &port);
  if (NT_SUCCESS(portResult) && (port & USBD_PORT_ENABLED) == 0) ResetPort(device);
  NTSTATUS status = ResetChannelPipes(device, channel);
  if (NT_SUCCESS(status)) status = CallStopCapture(device, 0);
  if (NT_SUCCESS(status)) CallStartCapture(device, 0);
  // A camera that streams over a bulk pipe is restarted on it.
  const bool aimed = AimChannelAtItsPipes(device, channel);
  if (aimed && channel->StreamState == KSSTATE_RUN && !channel->Streaming) {
    StartChannelTransfers(device, channel);
  }
}

// Under ChannelLock, which close takes to withdraw the channel: the video
// channel found here stays until the change is done.
NTSTATUS ChangePipeState(ClassDevice* device, ULONG state) {
  Channel* channel = device->Channel[0];
  if (channel == nullptr) return STATUS_SUCCESS;
  // Stopping a stopped stream, or restarting one that runs, would submit
  // requests the bus still holds.
  if ((state == kPipeStop) == (channel->StoppedByClient != 0)) return STATUS_INVALID_PARAMETER;
  if (state == kPipeStop) {
    StopByClient(device, channel);
  } else {
    RestartByClient(device, channel);
  }
  return STATUS_SUCCESS;
}

void PipeControlWork(PVOID context) {
  auto* item = static_cast<PipeControlItem*>(context);
  ClassDevice* device = item->Device;
  AcquireChannelLock(device);
  ChangePipeState(device, item->State);
  ReleaseChannelLock(device);
  ExFreePool(item);
  InterlockedDecrement(&device->PipeControlsInFlight);  // the last touch of the device
}

Channel* IsochronousVideo(ClassDevice* device) {
  Channel* video = device->Channel[0];
  return video != nullptr && video->PipeKind == kPipeKindIsochronous ? video : nullptr;
}

}  // namespace

NTSTATUS IsoPipeControl(PVOID deviceContext, ULONG state) {
  ClassDevice* device = ClassDeviceFromContext(deviceContext);
  if (KeGetCurrentIrql() <= APC_LEVEL) {
    AcquireChannelLock(device);
    const NTSTATUS status = ChangePipeState(device, state);
    ReleaseChannelLock(device);
    return status;
  }
  // Counted before the channel is looked at: the device's release waits for
  // the work item, which checks the channel again under the lock.
  InterlockedIncrement(&device->PipeControlsInFlight);
  PipeControlItem* item = nullptr;
  if (device->Channel[0] != nullptr) {
    item = static_cast<PipeControlItem*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(PipeControlItem), kClassPoolTag));
  }
  if (item == nullptr) {
    const bool open = device->Channel[0] != nullptr;
    InterlockedDecrement(&device->PipeControlsInFlight);
    return open ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS;
  }
  item->Device = device;
  item->State = state;
  ExInitializeWorkItem(&item->Work, PipeControlWork, item);
  ExQueueWorkItem(&item->Work, DelayedWorkQueue);
  return STATUS_PENDING;
}

NTSTATUS ChangePowerState(HW_STREAM_REQUEST_BLOCK* srb) {
  auto* device = static_cast<ClassDevice*>(srb->HwDeviceExtension);
  const ULONG wanted = srb->CommandData.DeviceState;
  const ULONG current = device->PowerState;
  if (wanted == current) return STATUS_SUCCESS;
  if (wanted < kPowerD0 || wanted > kPowerD3) return STATUS_INVALID_PARAMETER;
  // The video channel is found and used under the lock close withdraws it by.
  AcquireChannelLock(device);
  Channel* video = IsochronousVideo(device);
  if (wanted == kPowerD0 && current == kPowerD3) {
    CallRestoreState(device);
    // Only a stream the power-down stopped is restarted: restarting one whose
    // transfers still run would send requests the bus holds.
    if (video != nullptr && video->StoppedByClient) RestartByClient(device, video);
  } else if (wanted == kPowerD3 && current == kPowerD0) {
    if (video != nullptr) {
      StopByClient(device, video);
      CallStopCapture(device, 0);
    }
    CallSaveState(device);
  }
  device->PowerState = wanted;
  ReleaseChannelLock(device);
  return STATUS_SUCCESS;
}
