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
  StopStreaming(device, channel);
}

// Brings the port, the pipes and the camera back and resubmits the
// transfers. A stream that is not in the run state only has its camera
// restarted: its transfers start when it runs. Transfers already out (a
// stream the client started meanwhile) are not sent a second time.
void RestartByClient(ClassDevice* device, Channel* channel) {
  AcquireChannelLock(device);
  channel->StoppedByClient = 0;
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
  ReleaseChannelLock(device);
}

void ChangePipeState(ClassDevice* device, ULONG state) {
  Channel* channel = device->Channel[0];
  if (channel == nullptr) return;
  if (state == kPipeStop) {
    StopByClient(device, channel);
  } else {
    RestartByClient(device, channel);
  }
}

void PipeControlWork(PVOID context) {
  auto* item = static_cast<PipeControlItem*>(context);
  ChangePipeState(item->Device, item->State);
  ExFreePool(item);
}

bool HasIsochronousVideo(const ClassDevice* device) {
  const Channel* video = device->Channel[0];
  return video != nullptr && video->PipeKind == kPipeKindIsochronous;
}

}  // namespace

NTSTATUS IsoPipeControl(PVOID deviceContext, ULONG state) {
  ClassDevice* device = ClassDeviceFromContext(deviceContext);
  const Channel* channel = device->Channel[0];
  if (channel == nullptr) return STATUS_SUCCESS;
  // Stopping a stopped stream, or restarting one that runs, would submit
  // requests the bus still holds.
  if ((state == kPipeStop) == (channel->StoppedByClient != 0)) return STATUS_INVALID_PARAMETER;
  if (KeGetCurrentIrql() <= APC_LEVEL) {
    ChangePipeState(device, state);
    return STATUS_SUCCESS;
  }
  auto* item = static_cast<PipeControlItem*>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(PipeControlItem), kClassPoolTag));
  if (item == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
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
  if (wanted == kPowerD0 && current == kPowerD3) {
    CallRestoreState(device);
    // Only a stream the power-down stopped is restarted: restarting one whose
    // transfers still run would send requests the bus holds.
    if (HasIsochronousVideo(device) && device->Channel[0]->StoppedByClient) {
      RestartByClient(device, device->Channel[0]);
    }
  } else if (wanted == kPowerD3 && current == kPowerD0) {
    if (HasIsochronousVideo(device)) {
      StopByClient(device, device->Channel[0]);
      CallStopCapture(device, 0);
    }
    CallSaveState(device);
  }
  device->PowerState = wanted;
  return STATUS_SUCCESS;
}
