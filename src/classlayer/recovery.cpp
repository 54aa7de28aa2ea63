#include "classlayer/recovery.h"

#include "classlayer/bulk.h"
#include "classlayer/callback_calls.h"
#include "classlayer/frameengine.h"
#include "classlayer/streams.h"
#include "classlayer/usbrequests.h"

namespace {

struct ResetWorkItem {
  WORK_QUEUE_ITEM Work;
  ::Channel* Channel;
  ULONG StreamNumber;
  FrameRequest* Request;
};

LONGLONG WatchdogPeriod(const Channel* channel) {
  return channel->StreamNumber == 0 ? kVideoWatchdogPeriod : kStillWatchdogPeriod;
}

void ArmWatchdog(Channel* channel) {
  LARGE_INTEGER due;
  due.QuadPart = WatchdogPeriod(channel);
  KeSetTimer(&channel->WatchdogTimer, due, &channel->WatchdogDpc);
}

bool TransfersIdle(ClassDevice* device, const Channel* channel) {
  if (channel->Virtual) return true;
  // A bulk read's transfer writes into the read until it is back.
  if (channel->PipeKind == kPipeKindBulk && BulkTransferPending(device, channel->DataPipe)) {
    return false;
  }
  for (const TransferSet& set : channel->Transfers) {
    if (set.PendingCount != 0) return false;
  }
  return true;
}

USBD_PIPE_HANDLE PipeHandle(const ClassDevice* device, LONG index) {
  return device->InterfaceInfo->Pipes[index].PipeHandle;
}

NTSTATUS ForEachPipe(ClassDevice* device, Channel* channel,
                     NTSTATUS (*request)(ClassDevice*, USBD_PIPE_HANDLE)) {
  NTSTATUS status = request(device, PipeHandle(device, channel->DataPipe));
  if (NT_SUCCESS(status) && channel->SyncPipe >= 0) {
    status = request(device, PipeHandle(device, channel->SyncPipe));
  }
  return status;
}

}  // namespace

NTSTATUS AbortChannelPipes(ClassDevice* device, Channel* channel) {
  return ForEachPipe(device, channel, AbortPipe);
}

NTSTATUS ResetChannelPipes(ClassDevice* device, Channel* channel) {
  return ForEachPipe(device, channel, ResetPipe);
}

void StartWatchdog(Channel* channel) {
  KeInitializeTimer(&channel->WatchdogTimer);
  KeInitializeDpc(&channel->WatchdogDpc, WatchdogTimerDpc, channel);
  SetStateFlags(channel, kChannelWatchdogArmed);
  ArmWatchdog(channel);
}

void StopWatchdog(Channel* channel) {
  ClearStateFlags(channel, kChannelWatchdogArmed);
  KeCancelTimer(&channel->WatchdogTimer);
  KeRemoveQueueDpc(&channel->WatchdogDpc);
  // A DPC already running may have seen the flag before it was cleared and
  // re-arm the timer: let it finish, then disarm what it left.
  KeFlushQueuedDpcs();
  KeCancelTimer(&channel->WatchdogTimer);
  KeRemoveQueueDpc(&channel->WatchdogDpc);
}

namespace {

// Once the transfers are idle: the reads a stop or a removal ends are
// cancelled, and the request being filled is cancelled or, after a stop by
// the client, goes back to the head of the queue.
void ReleaseReads(Channel* channel, bool stopping, bool removed) {
  if ((stopping && !channel->StoppedByClient) || removed) CancelQueuedReads(channel);
  FrameRequest* cancelled = nullptr;
  KIRQL oldIrql;
  KeAcquireSpinLock(&channel->CurrentLock, &oldIrql);
  if (channel->Current != nullptr && (stopping || removed)) {
    FrameRequest* current = channel->Current;
    channel->Current = nullptr;
    if (channel->StoppedByClient) {
      ExInterlockedInsertHeadList(&channel->ReadQueue, &current->Link, &channel->QueueLock);
    } else {
      cancelled = current;
    }
  }
  KeReleaseSpinLock(&channel->CurrentLock, oldIrql);
  if (cancelled != nullptr) CompleteCancelledRead(channel, cancelled);
}

}  // namespace

void WatchdogTimerDpc(KDPC*, PVOID context, PVOID, PVOID) {
  auto* channel = static_cast<Channel*>(context);
  ClassDevice* device = channel->Device;
  const bool removed = device->Removed != 0;
  const bool busy = channel->ErrorFlag != 0 ||
                    HasStateFlags(channel, kChannelStopping | kChannelAwaitingIdle) || removed;
  if (busy && channel->Streaming && TransfersIdle(device, channel)) {
    const bool stopping = HasStateFlags(channel, kChannelStopping);
    if (channel->ErrorFlag != 0 && !removed && !stopping) {
      QueueChannelReset(device, channel, nullptr);
      channel->ErrorFlag = 0;
    }
    ReleaseReads(channel, stopping, removed);
    if (ClearStateFlags(channel, kChannelAwaitingIdle)) {
      KeSetEvent(&channel->ResetEvent, IO_NO_INCREMENT, FALSE);
    }
    if (ClearStateFlags(channel, kChannelStopping)) {
      KeSetEvent(&channel->StopEvent, IO_NO_INCREMENT, FALSE);
    }
  }
  if (HasStateFlags(channel, kChannelWatchdogArmed)) ArmWatchdog(channel);
}

bool QueueChannelReset(ClassDevice* device, Channel* channel, FrameRequest* request) {
  const ULONG stream = channel->StreamNumber;
  if (InterlockedIncrement(&device->ResetCount[stream]) > 0) {
    InterlockedDecrement(&device->ResetCount[stream]);
    return false;
  }
  auto* item = static_cast<ResetWorkItem*>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(ResetWorkItem), kClassPoolTag));
  if (item == nullptr) {
    InterlockedDecrement(&device->ResetCount[stream]);
    return true;  // recovery is skipped this time
  }
  item->Channel = channel;
  item->StreamNumber = stream;
  item->Request = request;
  channel->ResetWork = item;
  ExInitializeWorkItem(&item->Work, ChannelResetWork, item);
  ExQueueWorkItem(&item->Work, CriticalWorkQueue);
  return true;
}

namespace {

// An isochronous channel always; a bulk one when its transfer hangs, or when
// the watchdog saw a transfer fail: the pipe may be halted, and its reads
// wait for the reset.
bool NeedsRestart(ClassDevice* device, const Channel* channel, const FrameRequest* request) {
  if (channel->PipeKind == kPipeKindIsochronous) return true;
  return channel->PipeKind == kPipeKindBulk &&
         (request == nullptr || BulkTransferPending(device, channel->DataPipe));
}

}  // namespace

void ChannelResetWork(PVOID context) {
  auto* item = static_cast<ResetWorkItem*>(context);
  Channel* channel = item->Channel;
  ClassDevice* device = channel->Device;
  if (!device->Removed && !channel->Virtual) {
    // Without ChannelLock: a close or stop that holds it waits for this
    // recovery, and a port that is gone needs nothing else.
    ULONG port = 0;
    const NTSTATUS result = GetPortStatus(device, &port);
    if (NT_SUCCESS(result) && (port & USBD_PORT_CONNECTED) == 0) {
      device->Removed = 1;
    } else if (NeedsRestart(device, channel, item->Request)) {
      ResetAndRestart(device, channel, result, port);
    }
  }
  channel->ResetWork = nullptr;
  InterlockedDecrement(&device->ResetCount[item->StreamNumber]);
  ExFreePool(item);
}

namespace {

// Waits, 8 s at most, for the watchdog to see every transfer back. Only a
// streaming channel has transfers out, and only for one does the watchdog
// answer.
NTSTATUS AwaitTransfersIdle(Channel* channel) {
  if (!channel->Streaming) return STATUS_SUCCESS;
  KeClearEvent(&channel->ResetEvent);
  SetStateFlags(channel, kChannelAwaitingIdle);
  CancelResubmission(channel);
  KeFlushQueuedDpcs();
  LARGE_INTEGER timeout;
  timeout.QuadPart = kIdleWaitTimeout;
  if (KeWaitForSingleObject(&channel->ResetEvent, Executive, KernelMode, FALSE, &timeout) ==
      STATUS_TIMEOUT) {
    ClearStateFlags(channel, kChannelAwaitingIdle);
    return STATUS_TIMEOUT;
  }
  return STATUS_SUCCESS;
}

// The camera restarted and the transfers resubmitted on a streaming channel.
NTSTATUS RestartChannel(ClassDevice* device, Channel* channel) {
  const ULONG stream = channel->StreamNumber;
  NTSTATUS status = CallStopCapture(device, stream);
  if (NT_SUCCESS(status)) status = CallStartCapture(device, stream);
  if (!NT_SUCCESS(status)) return status;
  if (AimChannelAtItsPipes(device, channel)) StartChannelTransfers(device, channel);
  return status;
}

}  // namespace

bool AimChannelAtItsPipes(ClassDevice* device, Channel* channel) {
  const ULONG stream = channel->StreamNumber;
  channel->SyncPipe = device->SyncPipeIndex;
  if (stream == device->IsoDataStream) {
    channel->DataPipe = device->IsoDataPipeIndex;
    channel->PipeKind = kPipeKindIsochronous;
  } else if (stream == device->BulkDataStream) {
    channel->DataPipe = device->BulkDataPipeIndex;
    channel->PipeKind = kPipeKindBulk;
  } else {
    return false;
  }
  return true;
}

void StartChannelTransfers(ClassDevice* device, Channel* channel) {
  if (channel->PipeKind == kPipeKindBulk) {
    channel->Streaming = 1;
    StartBulkRead(device, channel);
  } else {
    StartIsoStreaming(device, channel, TRUE);
  }
}

NTSTATUS ResetAndRestart(ClassDevice* device, Channel* channel, NTSTATUS portStatusResult,
                         ULONG portStatus) {
  AcquireChannelLock(device);
  // A recovery that comes after close gave the channel up (a read's time-out
  // racing the close) finds its watchdog stopped and its transfers freed:
  // there is nothing left to recover.
  if (!channel->Prepared) {
    ReleaseChannelLock(device);
    return STATUS_SUCCESS;
  }
  if (NT_SUCCESS(portStatusResult) && (portStatus & USBD_PORT_ENABLED) == 0) ResetPort(device);

  NTSTATUS status = AbortChannelPipes(device, channel);
  if (NT_SUCCESS(status)) status = AwaitTransfersIdle(channel);
  // STATUS_TIMEOUT counts as success to NT_SUCCESS; the recovery gives up on it.
  if (NT_SUCCESS(status) && status != STATUS_TIMEOUT) {
    status = ResetChannelPipes(device, channel);
    if (channel->Streaming && NT_SUCCESS(status)) status = RestartChannel(device, channel);
  }
  ReleaseChannelLock(device);
  return status;
}
