// Isochronous transfer sets: allocation, request building, submission,
// completion and the 2 ms resubmission.
#include "classlayer/frameengine.h"

namespace {

constexpr ULONG kSyncBytes = kPacketsPerTransfer;

bool HasSyncPipe(const Channel* channel) {
  return channel->SyncPipe >= 0;
}

const USBD_PIPE_INFORMATION* PipeInfo(const ClassDevice* device, LONG index) {
  return &device->InterfaceInfo->Pipes[index];
}

// One 480-byte isochronous request on `buffer`: 32 packets of packetSize bytes.
void BuildIsoRequest(URB* urb, USBD_PIPE_HANDLE pipe, ULONG packetSize, UCHAR* buffer) {
  RtlZeroMemory(urb, kIsoRequestSize);
  _URB_ISOCH_TRANSFER& iso = urb->UrbIsochronousTransfer;
  iso.Hdr.Length = static_cast<USHORT>(kIsoRequestSize);
  iso.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
  iso.PipeHandle = pipe;
  iso.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP;
  iso.NumberOfPackets = kPacketsPerTransfer;
  for (ULONG i = 0; i < kPacketsPerTransfer; ++i) iso.IsoPacket[i].Offset = i * packetSize;
  iso.TransferBuffer = buffer;
  iso.TransferBufferLength = kPacketsPerTransfer * packetSize;
}

void BuildIrp(ClassDevice* device, IRP* irp, URB* urb, TransferSet* set) {
  IoReuseIrp(irp, STATUS_SUCCESS);
  IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = urb;
  next->DeviceObject = device->BusDeviceObject;
  IoSetCompletionRoutine(irp, IsoTransferComplete, set, TRUE, TRUE, TRUE);
}

// The sync buffer holds one byte per packet, whatever the sync pipe reports.
void RebuildSyncRequest(ClassDevice* device, Channel* channel, TransferSet* set) {
  BuildIsoRequest(set->SyncUrb, PipeInfo(device, channel->SyncPipe)->PipeHandle, 1,
                  set->SyncBuffer);
  BuildIrp(device, set->SyncIrp, set->SyncUrb, set);
}

void RebuildDataRequest(ClassDevice* device, Channel* channel, TransferSet* set) {
  const USBD_PIPE_INFORMATION* pipe = PipeInfo(device, channel->DataPipe);
  BuildIsoRequest(set->DataUrb, pipe->PipeHandle, pipe->MaximumPacketSize, set->DataBuffer);
  BuildIrp(device, set->DataIrp, set->DataUrb, set);
}

void ReleaseSet(TransferSet* set) {
  if (set->SyncIrp != nullptr && set->SyncIrp != kNoSyncIrp) IoFreeIrp(set->SyncIrp);
  if (set->DataIrp != nullptr) IoFreeIrp(set->DataIrp);
  if (set->UrbBlock != nullptr) ExFreePool(set->UrbBlock);
  if (set->SyncBuffer != nullptr) ExFreePool(set->SyncBuffer);
  set->SyncIrp = set->DataIrp = nullptr;
  set->UrbBlock = set->SyncBuffer = set->DataBuffer = nullptr;
  set->SyncUrb = set->DataUrb = nullptr;
}

// The URB's packets cover at most the buffer the set was allocated with: the
// data pipe's packet size may have grown since (alternate setting).
bool BufferFitsPipe(const ClassDevice* device, const Channel* channel, const TransferSet* set) {
  ULONG packet = PipeInfo(device, channel->DataPipe)->MaximumPacketSize;
  return static_cast<ULONGLONG>(packet) * kPacketsPerTransfer <= set->BufferSize - kSyncBytes;
}

}  // namespace

NTSTATUS AllocateTransferSets(ClassDevice* device, Channel* channel) {
  if (channel->Virtual) {
    Channel* video = device->Channel[0];
    for (ULONG i = 0; i < kTransferSetsPerChannel; ++i) {
      channel->Transfers[i] = video->Transfers[i];
      channel->Transfers[i].Channel = channel;
    }
    return STATUS_SUCCESS;
  }

  const ULONG maxPacket = PipeInfo(device, channel->DataPipe)->MaximumPacketSize;
  const CHAR stackSize = device->BusDeviceObject->StackSize;
  for (TransferSet& set : channel->Transfers) RtlZeroMemory(&set, sizeof set);

  for (TransferSet& set : channel->Transfers) {
    set.Tag = kTransferSetTag;
    set.Device = device;
    set.Channel = channel;
    set.PendingCount = 0;
    set.BufferSize = (maxPacket + 1) * kPacketsPerTransfer;
    set.SyncBuffer =
        static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, set.BufferSize, kClassPoolTag));
    set.UrbBlock = static_cast<UCHAR*>(
        ExAllocatePoolWithTag(NonPagedPool, 2 * kIsoRequestSize, kClassPoolTag));
    if (set.SyncBuffer == nullptr || set.UrbBlock == nullptr) break;
    set.DataBuffer = set.SyncBuffer + kSyncBytes;
    set.SyncUrb = reinterpret_cast<URB*>(set.UrbBlock);
    set.DataUrb = reinterpret_cast<URB*>(set.UrbBlock + kIsoRequestSize);
    if (!HasSyncPipe(channel)) {
      set.SyncIrp = kNoSyncIrp;
    } else {
      set.SyncIrp = IoAllocateIrp(stackSize, FALSE);
      if (set.SyncIrp == nullptr) break;
      RebuildSyncRequest(device, channel, &set);
    }
    set.DataIrp = IoAllocateIrp(stackSize, FALSE);
    if (set.DataIrp == nullptr) break;
    RebuildDataRequest(device, channel, &set);
    KeInitializeTimer(&set.ResubmitTimer);
    KeInitializeDpc(&set.ResubmitDpc, ResubmitTimerDpc, &set);
  }

  for (TransferSet& set : channel->Transfers) {
    if (set.DataIrp == nullptr) {
      for (TransferSet& taken : channel->Transfers) ReleaseSet(&taken);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
  }
  return STATUS_SUCCESS;
}

void CancelResubmission(Channel* channel) {
  if (channel->Virtual) return;  // the sets are the video stream's
  for (TransferSet& set : channel->Transfers) {
    if (set.Tag != kTransferSetTag) continue;
    KeCancelTimer(&set.ResubmitTimer);
    KeRemoveQueueDpc(&set.ResubmitDpc);
  }
}

void StartIsoStreaming(ClassDevice* device, Channel* channel, BOOLEAN rebuild) {
  // A set walked shortly before a stop still has its 2 ms timer armed: it
  // must not send the requests a second time once they are submitted here.
  CancelResubmission(channel);
  KeFlushQueuedDpcs();
  channel->Streaming = 1;
  for (TransferSet& set : channel->Transfers) {
    // A stop that timed out may have left a set's requests at the bus: they
    // are neither rebuilt nor sent again while the bus holds them. When they
    // come back, the set's completion puts it back in the cycle.
    if (__atomic_load_n(&set.PendingCount, __ATOMIC_SEQ_CST) != 0) continue;
    if (rebuild) {
      if (HasSyncPipe(channel)) {
        RebuildSyncRequest(device, channel, &set);
        RtlZeroMemory(set.SyncBuffer, kSyncBytes);
      }
      RebuildDataRequest(device, channel, &set);
    }
    SubmitTransferSet(device, &set);
  }
}

void SubmitTransferSet(ClassDevice* device, TransferSet* set) {
  Channel* channel = set->Channel;
  const bool sync = HasSyncPipe(channel);
  RtlZeroMemory(set->SyncBuffer, kSyncBytes);
  set->DataUrb->UrbIsochronousTransfer.TransferFlags |= USBD_START_ISO_TRANSFER_ASAP;
  if (sync) set->SyncUrb->UrbIsochronousTransfer.TransferFlags |= USBD_START_ISO_TRANSFER_ASAP;
  InterlockedExchange(&set->PendingCount, sync ? 2 : 1);

  IRP* requests[2] = {sync ? set->SyncIrp : nullptr, set->DataIrp};
  for (IRP* irp : requests) {
    if (irp == nullptr) continue;
    // A request the data pipe would overrun is not sent (see BufferFitsPipe).
    if (device->DeviceState != kDeviceRemoved && BufferFitsPipe(device, channel, set)) {
      if (IoCallDriver(device->BusDeviceObject, irp) != STATUS_PENDING) {
        // The bus driver completed it already: the completion routine has
        // counted it.
        channel->ErrorFlag = 1;
      }
    } else {
      channel->ErrorFlag = 1;
      InterlockedDecrement(&set->PendingCount);
    }
  }
}

NTSTATUS IsoTransferComplete(DEVICE_OBJECT*, IRP*, PVOID context) {
  auto* set = static_cast<TransferSet*>(context);
  Channel* channel = set->Channel;
  if (!channel->Streaming) channel->ErrorFlag = 1;
  const LONG left = InterlockedDecrement(&set->PendingCount);
  if (HasStateFlags(channel, kChannelStopping | kChannelAwaitingIdle) || channel->ErrorFlag != 0 ||
      left != 0) {
    return STATUS_MORE_PROCESSING_REQUIRED;
  }

  const bool sync = HasSyncPipe(channel);
  const _URB_ISOCH_TRANSFER& data = set->DataUrb->UrbIsochronousTransfer;
  if (USBD_ERROR(data.Hdr.Status) ||
      (sync && USBD_ERROR(set->SyncUrb->UrbIsochronousTransfer.Hdr.Status))) {
    channel->ErrorFlag = 1;
  }
  const bool allFailed = data.ErrorCount == data.NumberOfPackets ||
                         (sync && set->SyncUrb->UrbIsochronousTransfer.ErrorCount ==
                                      set->SyncUrb->UrbIsochronousTransfer.NumberOfPackets);
  if (allFailed) {
    channel->ErrorFlag = 1;
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  ProcessTransfer(set);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void ResubmitTimerDpc(KDPC*, PVOID context, PVOID, PVOID) {
  auto* set = static_cast<TransferSet*>(context);
  ClassDevice* device = set->Device;
  Channel* channel = set->Channel;
  // Only a running channel resubmits: a stop or a reset has taken the set
  // out of the cycle, and the next start submits it afresh.
  if (!channel->Streaming || HasStateFlags(channel, kChannelStopping | kChannelAwaitingIdle)) {
    return;
  }
  if (HasSyncPipe(channel)) RebuildSyncRequest(device, channel, set);
  RtlZeroMemory(set->SyncBuffer, kSyncBytes);
  RebuildDataRequest(device, channel, set);
  SubmitTransferSet(device, set);
}

void FreeTransferSets(Channel* channel) {
  if (channel->Virtual) {
    // The sets belong to the video stream; only forget them.
    for (TransferSet& set : channel->Transfers) RtlZeroMemory(&set, sizeof set);
    return;
  }
  // No resubmission may fire into freed memory, and no request may still be
  // at the bus driver: cancel both and wait for them to come back.
  CancelResubmission(channel);
  for (TransferSet& set : channel->Transfers) {
    if (set.Tag != kTransferSetTag) continue;
    if (set.PendingCount > 0) {
      if (set.SyncIrp != kNoSyncIrp && set.SyncIrp != nullptr) IoCancelIrp(set.SyncIrp);
      if (set.DataIrp != nullptr) IoCancelIrp(set.DataIrp);
      LARGE_INTEGER step;
      step.QuadPart = -20000;
      for (int tries = 0; set.PendingCount > 0 && tries < 4000; ++tries) {
        KeDelayExecutionThread(KernelMode, FALSE, &step);
      }
    }
    KeFlushQueuedDpcs();
    ReleaseSet(&set);
    set.Tag = 0;
  }
}
