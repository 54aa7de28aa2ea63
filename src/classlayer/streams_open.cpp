// Stream open and close: the channel is prepared at open (bandwidth, capture
// start, transfer sets, watchdog) and released at close in the reverse order,
// with every read still waiting completed.
#include "classlayer/callback_calls.h"
#include "classlayer/frameengine.h"
#include "classlayer/recovery.h"
#include "classlayer/streams.h"
#include "classlayer/video_format.h"

namespace {

constexpr LONGLONG kCloseWaitStep = -20000;  // 2 ms

// The virtual still stream shares stream 0's pipe: it needs stream 0 open
// and, when the device layer asks for it, stream 0's picture format.
bool StillMayShareVideo(const ClassDevice* device, const KS_VIDEOINFOHEADER* info) {
  const Channel* video = device->Channel[0];
  if (video == nullptr || device->OpenCount[0] == 0) return false;
  if ((device->ControlFlags & kStillFormatFollowsVideo) == 0) return true;
  const KS_BITMAPINFOHEADER& mine = info->bmiHeader;
  const KS_BITMAPINFOHEADER* theirs =
      video->VideoInfo != nullptr ? &video->VideoInfo->bmiHeader : nullptr;
  return theirs != nullptr && theirs->biSize == mine.biSize &&
         RtlCompareMemory(theirs, &mine, mine.biSize) == mine.biSize;
}

void InitializeChannel(ClassDevice* device, Channel* channel, KSDATAFORMAT* format) {
  channel->OpenFormat = format;
  channel->Tag = kChannelTag;
  channel->Device = device;
  channel->SnapshotPending = 0;
  channel->StoppedByClient = 0;
  channel->StateFlags = 0;
  channel->ErrorFlag = 0;
  channel->Streaming = 0;
  channel->Prepared = 0;
  channel->PipeKind = 0;
  channel->CompletionsInFlight = 0;
  channel->VideoInfo = nullptr;  // the channel's own copy is taken once it is prepared
  channel->FormatCapacity = 0;
  InitializeListHead(&channel->ReadQueue);
  InitializeListHead(&channel->FinishedFrames);
  channel->Current = nullptr;
  KeInitializeSpinLock(&channel->QueueLock);
  KeInitializeSpinLock(&channel->CurrentLock);
  KeInitializeSemaphore(&channel->WorkLock, 1, 1);
  KeInitializeEvent(&channel->ResetEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&channel->StopEvent, NotificationEvent, FALSE);
  RtlZeroMemory(channel->Transfers, sizeof channel->Transfers);
}

// Publishes or withdraws a stream's channel. The packet walk reads both
// streams' channels under the walking channel's request lock, so the other
// open channel's lock is held for the change.
void SetDeviceChannel(ClassDevice* device, ULONG stream, Channel* channel) {
  Channel* other = device->Channel[stream == 0 ? 1 : 0];
  KIRQL oldIrql;
  if (other != nullptr) KeAcquireSpinLock(&other->CurrentLock, &oldIrql);
  device->Channel[stream] = channel;
  if (other != nullptr) KeReleaseSpinLock(&other->CurrentLock, oldIrql);
}

void ChoosePipes(ClassDevice* device, Channel* channel, ULONG stream) {
  if (channel->Virtual) {
    channel->DataPipe = device->Channel[0]->DataPipe;
    channel->PipeKind = device->Channel[0]->PipeKind;
  } else if (stream == device->IsoDataStream && device->IsoDataPipeIndex >= 0) {
    channel->PipeKind = kPipeKindIsochronous;
    channel->DataPipe = device->IsoDataPipeIndex;
  } else if (stream == device->BulkDataStream && device->BulkDataPipeIndex >= 0) {
    channel->PipeKind = kPipeKindBulk;
    channel->DataPipe = device->BulkDataPipeIndex;
  }
  channel->SyncPipe = device->SyncPipeIndex;
}

void InstallStreamEntries(Channel* channel, HW_STREAM_OBJECT* stream) {
  channel->DeviceDataHandler = AsDeviceStreamHandler(stream->ReceiveDataPacket);
  channel->DeviceControlHandler = AsDeviceStreamHandler(stream->ReceiveControlPacket);
  stream->ReceiveDataPacket = ReceiveReadRequest;
  stream->ReceiveControlPacket = ReceiveControlRequest;
  channel->StreamState = KSSTATE_STOP;
  stream->HWClockObject.HwClockFunction = nullptr;
  stream->HWClockObject.ClockSupportFlags = 0;
  stream->Dma = FALSE;
  stream->Pio = TRUE;
  stream->StreamHeaderMediaSpecific = sizeof(KS_FRAME_INFO);
}

// The device clean-up that uninitialisation left for the last close.
void FinishDeferredUninitialisation(ClassDevice* device) {
  if (device->OpenCount[0] != 0 || device->OpenCount[1] != 0) return;
  if (device->DeviceState == kDeviceRemoved) FinishUninitialize(device);
}

}  // namespace

// Bandwidth, capture start, transfer sets and watchdog. What succeeded is
// undone when a later step fails, so a failed open leaves the camera idle.
NTSTATUS PrepareChannel(ClassDevice* device, Channel* channel, KSDATAFORMAT* format, ULONG stream,
                        ULONG* rawFrameLength) {
  if (channel->Prepared || channel->Streaming) return STATUS_UNSUCCESSFUL;
  NTSTATUS status = CallAllocateBandwidth(device, rawFrameLength, format, stream);
  if (NT_SUCCESS(status)) {
    status = CallStartCapture(device, stream);
    if (NT_SUCCESS(status)) {
      ChoosePipes(device, channel, stream);
      if (channel->PipeKind == 0) status = STATUS_INVALID_PARAMETER;  // no pipe serves it
      if (NT_SUCCESS(status) && channel->PipeKind == kPipeKindIsochronous) {
        status = AllocateTransferSets(device, channel);
      }
      if (!NT_SUCCESS(status) && !channel->Virtual) CallStopCapture(device, stream);
    }
  }
  if (!NT_SUCCESS(status)) {
    if (!channel->Virtual) CallFreeBandwidth(device, stream);
    return status;
  }
  channel->Prepared = 1;
  StartWatchdog(channel);  // sets the armed flag; first expiry after one period
  return STATUS_SUCCESS;
}

void UnprepareChannelLocked(ClassDevice* device, Channel* channel, ULONG stream) {
  if (!channel->Prepared) return;
  StopWatchdog(channel);
  if (!channel->Virtual) {
    CallStopCapture(device, stream);
    CallFreeBandwidth(device, stream);
  }
  FreeTransferSets(channel);
  channel->Prepared = 0;
}

void WaitForValue(const LONG volatile* value, LONG wanted) {
  LARGE_INTEGER step;
  step.QuadPart = kCloseWaitStep;
  while (__atomic_load_n(value, __ATOMIC_SEQ_CST) != wanted) {
    KeDelayExecutionThread(KernelMode, FALSE, &step);
  }
}

NTSTATUS OpenStream(HW_STREAM_REQUEST_BLOCK* srb) {
  auto* device = static_cast<ClassDevice*>(srb->HwDeviceExtension);
  HW_STREAM_OBJECT* stream = srb->StreamObject;
  auto* channel = static_cast<Channel*>(stream->HwStreamExtension);
  KSDATAFORMAT* format = srb->CommandData.OpenFormat;
  const ULONG n = stream->StreamNumber;
  const KS_VIDEOINFOHEADER* info = VideoInfoOf(format);
  if (n >= device->NumberOfStreams || n >= 2 || device->OpenCount[n] != 0 || info == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  channel->Virtual = n == 1 && device->StillIsVirtual ? 1 : 0;
  channel->StreamNumber = static_cast<UCHAR>(n);
  channel->NoRawProcessing = (device->ControlFlags >> n) & 1;

  // Under the lock the video stream can neither close nor change its format
  // while the still stream compares with it.
  AcquireChannelLock(device);
  NTSTATUS status = STATUS_DEVICE_DATA_ERROR;
  if (channel->Virtual && !StillMayShareVideo(device, info)) {
    status = STATUS_INVALID_PARAMETER;
  } else if (device->OpenCount[n] == 0) {
    InitializeChannel(device, channel, format);
    SetDeviceChannel(device, n, channel);
    status = PrepareChannel(device, channel, format, n, &channel->RawFrameLength);
  }
  ReleaseChannelLock(device);
  if (!NT_SUCCESS(status)) {
    if (device->Channel[n] == channel) SetDeviceChannel(device, n, nullptr);
    return STATUS_INVALID_PARAMETER;
  }

  InstallStreamEntries(channel, stream);
  if (!NT_SUCCESS(KeepFormatCopy(channel, format))) {
    AcquireChannelLock(device);
    UnprepareChannelLocked(device, channel, n);
    ReleaseChannelLock(device);
    SetDeviceChannel(device, n, nullptr);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  device->OpenCount[n] += 1;
  return STATUS_SUCCESS;
}

NTSTATUS CloseStream(HW_STREAM_REQUEST_BLOCK* srb) {
  auto* device = static_cast<ClassDevice*>(srb->HwDeviceExtension);
  auto* channel = static_cast<Channel*>(srb->StreamObject->HwStreamExtension);
  const ULONG n = channel->StreamNumber;
  if (channel->Streaming) StopStreaming(device, channel);

  // Power and pipe-control requests find the channel under the lock: once it
  // is withdrawn here, none reaches it any more.
  AcquireChannelLock(device);
  UnprepareChannelLocked(device, channel, n);
  device->OpenCount[n] -= 1;
  CancelChannelReads(channel);
  SetDeviceChannel(device, n, nullptr);
  ReleaseChannelLock(device);

  // A recovery and finished frames on their way to the client still refer
  // to the channel.
  WaitForValue(&device->ResetCount[n], -1);
  WaitForValue(&channel->CompletionsInFlight, 0);
  ReleaseFormatCopy(channel);
  FinishDeferredUninitialisation(device);
  return STATUS_SUCCESS;
}
