// The pipe slots of bulk and interrupt transfers, and cancelling, pausing,
// resuming and restarting the transfers in them.
#include "classlayer/bulk.h"
#include "classlayer/usbconfig.h"

namespace {

PipeEntry& EntryOf(ClassDevice* device, LONG pipeIndex) {
  return device->PipeTable[pipeIndex];
}

// Clears the pipe's SavedTransfer slot of the record; returns its CancelFlags
// as they stood then.
ULONG ForgetSaved(ClassDevice* device, LONG pipeIndex, const BulkTransferRecord* t) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&device->PipeTableLock, &oldIrql);
  if (EntryOf(device, pipeIndex).SavedTransfer == t)
    EntryOf(device, pipeIndex).SavedTransfer = nullptr;
  const ULONG flags = t->CancelFlags;
  KeReleaseSpinLock(&device->PipeTableLock, oldIrql);
  return flags;
}

// A canceller took the record over. Paused, it waits in SavedTransfer to be
// started again, unless it had just finished a transfer of its own: that one
// is delivered (and waits only when it re-arms itself). Cancelled, it is
// delivered when it had finished; otherwise its owner hears STATUS_CANCELLED
// and a partly filled read goes back to its queue.
void SettleCancelled(ClassDevice* device, BulkTransferRecord* t, BOOLEAN pause,
                     bool readCancelled) {
  const bool finished = t->LastStatus == STATUS_SUCCESS;
  if (pause && !readCancelled) {
    if (t->Channel != nullptr || !finished) return;
    NotifyOwner(t, STATUS_SUCCESS);
    if (t->Resubmit) return;
    ForgetSaved(device, t->PipeIndex, t);
    FreeBulkTransfer(t);
    return;
  }
  if (pause) ForgetSaved(device, t->PipeIndex, t);
  t->Resubmit = 0;
  if (finished || readCancelled) {
    EndTransfer(t, readCancelled ? STATUS_CANCELLED : STATUS_SUCCESS);
  } else {
    if (t->Channel == nullptr) NotifyOwner(t, STATUS_CANCELLED);
    // A read cut off waits at the head of the queue; a stop cancels it there.
    if (t->Channel != nullptr) ReturnBulkRead(t->Channel, t->Request);
    FreeBulkTransfer(t);
  }
}

}  // namespace

bool IsPipeOfInterface(const ClassDevice* device, LONG pipeIndex) {
  return device->PipeTable != nullptr && device->InterfaceInfo != nullptr && pipeIndex >= 0 &&
         static_cast<ULONG>(pipeIndex) < device->NumberOfPipes &&
         static_cast<ULONG>(pipeIndex) < device->InterfaceInfo->NumberOfPipes;
}

bool BulkTransferPending(ClassDevice* device, LONG pipeIndex) {
  if (!IsPipeOfInterface(device, pipeIndex)) return false;
  KIRQL oldIrql;
  KeAcquireSpinLock(&device->PipeTableLock, &oldIrql);
  const bool pending = EntryOf(device, pipeIndex).PendingTransfer != nullptr;
  KeReleaseSpinLock(&device->PipeTableLock, oldIrql);
  return pending;
}

NTSTATUS ClaimPipe(ClassDevice* device, BulkTransferRecord* t) {
  Channel* channel = t->Channel;
  KIRQL currentIrql = PASSIVE_LEVEL;
  if (channel != nullptr) KeAcquireSpinLock(&channel->CurrentLock, &currentIrql);
  KIRQL oldIrql;
  KeAcquireSpinLock(&device->PipeTableLock, &oldIrql);
  // A stop or a recovery sets its flag before it looks at the pipe: either
  // it finds the transfer there, or the transfer sees the flag here. A failed
  // transfer sets the error before it gives the pipe up, so a read started
  // meanwhile is not sent to the failing pipe: it waits for the recovery.
  const bool readStillWanted =
      channel == nullptr || (channel->Current == t->Request && channel->ErrorFlag == 0 &&
                             !HasStateFlags(channel, kChannelStopping | kChannelAwaitingIdle));
  PipeEntry& entry = EntryOf(device, t->PipeIndex);
  // A transfer paused on the pipe keeps it until it is started again.
  const bool free = (entry.PendingTransfer == nullptr || entry.PendingTransfer == t) &&
                    entry.SavedTransfer == nullptr;
  if (readStillWanted && free) entry.PendingTransfer = t;
  KeReleaseSpinLock(&device->PipeTableLock, oldIrql);
  if (channel != nullptr) KeReleaseSpinLock(&channel->CurrentLock, currentIrql);
  if (!readStillWanted) return STATUS_CANCELLED;
  return free ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

bool SettleTransfer(BulkTransferRecord* t, NTSTATUS outcome, bool release) {
  ClassDevice* device = t->Device;
  KIRQL oldIrql;
  KeAcquireSpinLock(&device->PipeTableLock, &oldIrql);
  const bool waited = (t->CancelFlags & kBulkCancelWaiting) != 0;
  if (waited) {
    t->CancelFlags &= ~kBulkCancelWaiting;
    t->LastStatus = outcome;
  } else if (release && EntryOf(device, t->PipeIndex).PendingTransfer == t) {
    EntryOf(device, t->PipeIndex).PendingTransfer = nullptr;
  }
  KeReleaseSpinLock(&device->PipeTableLock, oldIrql);
  // The canceller may free the record as soon as the event is set.
  if (waited) KeSetEvent(&t->CancelEvent, IO_NO_INCREMENT, FALSE);
  return waited;
}

bool OwnerCancelled(BulkTransferRecord* t) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&t->Device->PipeTableLock, &oldIrql);
  const bool cancelled = (t->CancelFlags & kBulkOwnerCancelled) != 0;
  KeReleaseSpinLock(&t->Device->PipeTableLock, oldIrql);
  return cancelled;
}

NTSTATUS CancelBulkTransfer(ClassDevice* device, LONG pipeIndex, BOOLEAN pause) {
  if (!IsPipeOfInterface(device, pipeIndex)) return STATUS_INVALID_PARAMETER;
  KIRQL oldIrql;
  KeAcquireSpinLock(&device->PipeTableLock, &oldIrql);
  PipeEntry& entry = EntryOf(device, pipeIndex);
  auto* t = static_cast<BulkTransferRecord*>(entry.PendingTransfer);
  // Another canceller already has it: the end is told from there, and the
  // record may be gone as soon as that one is done with it.
  if (t != nullptr && (t->CancelFlags & kBulkCancelTaken) != 0) t = nullptr;
  if (t != nullptr) {
    // A transfer being cancelled stays in its slot until it is back: a read
    // cancelled meanwhile must still find what writes into its buffer.
    if (pause && entry.SavedTransfer == nullptr) {
      entry.SavedTransfer = t;
      entry.PendingTransfer = nullptr;
    } else {
      pause = FALSE;
    }
    KeInitializeEvent(&t->CancelEvent, NotificationEvent, FALSE);
    t->CancelFlags |= kBulkCancelWaiting | kBulkCancelTaken;
  }
  KeReleaseSpinLock(&device->PipeTableLock, oldIrql);
  if (t == nullptr) return STATUS_SUCCESS;
  IoCancelIrp(t->Irp);
  KeWaitForSingleObject(&t->CancelEvent, Executive, KernelMode, FALSE, nullptr);
  KeAcquireSpinLock(&device->PipeTableLock, &oldIrql);
  if (!pause && entry.PendingTransfer == t) entry.PendingTransfer = nullptr;
  const ULONG flags = t->CancelFlags;
  KeReleaseSpinLock(&device->PipeTableLock, oldIrql);
  SettleCancelled(device, t, pause, (flags & kBulkOwnerCancelled) != 0);
  return STATUS_SUCCESS;
}

NTSTATUS PauseBulkTransfers(ClassDevice* device) {
  InterlockedIncrement(&device->BulkPauseCount);
  NTSTATUS result = STATUS_SUCCESS;
  for (ULONG i = 0; device->PipeTable != nullptr && i < device->NumberOfPipes; ++i) {
    const NTSTATUS status = CancelBulkTransfer(device, static_cast<LONG>(i), TRUE);
    if (!NT_SUCCESS(status)) result = status;
  }
  return result;
}

void ResumeBulkTransfers(ClassDevice* device) {
  for (ULONG i = 0; device->PipeTable != nullptr && i < device->NumberOfPipes; ++i) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&device->PipeTableLock, &oldIrql);
    auto* t = static_cast<BulkTransferRecord*>(device->PipeTable[i].SavedTransfer);
    KeReleaseSpinLock(&device->PipeTableLock, oldIrql);
    if (t != nullptr) RestartBulkTransfer(device, static_cast<LONG>(i), t);
  }
  InterlockedDecrement(&device->BulkPauseCount);
  // Reads that waited while the pipes were paused.
  for (Channel* channel : device->Channel) {
    if (channel != nullptr && channel->PipeKind == kPipeKindBulk) StartBulkRead(device, channel);
  }
}

NTSTATUS RestartBulkTransfer(ClassDevice* device, LONG pipeIndex, BulkTransferRecord* t) {
  // Starts over with the caller's whole buffer: the device does not carry on
  // a transfer that was cut off.
  const TransferArgs args{
      t->Channel,    t->Request,           t->Buffer,   t->Length,     pipeIndex,
      t->Completion, t->CompletionContext, t->Resubmit, t->SignalEvent};
  // A read or write given up while it was paused is not started again. The
  // slot is cleared even when the new interface has no such pipe any more.
  const bool inTable = device->PipeTable != nullptr && pipeIndex >= 0 &&
                       static_cast<ULONG>(pipeIndex) < device->NumberOfPipes;
  const ULONG flags = inTable ? ForgetSaved(device, pipeIndex, t) : t->CancelFlags;
  const bool cancelled = (flags & kBulkOwnerCancelled) != 0;
  FreeBulkTransfer(t);
  bool sent = false;
  const NTSTATUS status = cancelled ? STATUS_CANCELLED : StartTransfer(device, args, &sent);
  if (!sent) AbandonTransfer(device, args, status);
  return status;
}

void AbandonTransfer(ClassDevice* device, const TransferArgs& args, NTSTATUS status) {
  if (args.Channel != nullptr) {
    ReturnBulkRead(args.Channel, args.Request);
  } else if (args.Completion != nullptr) {
    args.Completion(DeviceContextOf(device), args.CompletionContext, status);
  }
}
