// Bulk and interrupt transfers: the record, its chunks, and the completion
// routine that copies back from the bounce buffer, sends the next chunk or
// ends the transfer.
#include "classlayer/bulk.h"
#include "classlayer/device_events.h"
#include "classlayer/frameengine.h"
#include "classlayer/usbconfig.h"

namespace {

constexpr ULONG kBulkRequestSize = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);

PVOID AllocateZeroed(ULONG size) {
  PVOID block = ExAllocatePoolWithTag(NonPagedPool, size, kClassPoolTag);
  if (block != nullptr) RtlZeroMemory(block, size);
  return block;
}

BulkTransferRecord* AllocateRecord(ClassDevice* device, const USBD_PIPE_INFORMATION& pipe) {
  auto* t = static_cast<BulkTransferRecord*>(AllocateZeroed(sizeof(BulkTransferRecord)));
  if (t == nullptr) return nullptr;
  t->Tag = kTransferSetTag;
  t->Device = device;
  const ULONG bounce = 2 * (pipe.MaximumPacketSize != 0 ? pipe.MaximumPacketSize : 1);
  t->Urb = static_cast<URB*>(AllocateZeroed(kBulkRequestSize));
  t->BounceBuffer = static_cast<UCHAR*>(AllocateZeroed(bounce));
  t->Irp = IoAllocateIrp(device->BusDeviceObject->StackSize, FALSE);
  if (t->Urb == nullptr || t->BounceBuffer == nullptr || t->Irp == nullptr) {
    FreeBulkTransfer(t);
    return nullptr;
  }
  return t;
}

// The chunk for what remains: a whole number of packets, and an IN chunk
// shorter than one packet reads into the bounce buffer.
void PrepareChunk(BulkTransferRecord* t) {
  t->UsingBounce = 0;
  if (!t->DirectionIn || t->MaxPacketSize == 0) return;
  if (t->Chunk < t->MaxPacketSize) {
    t->UsingBounce = 1;
    t->UserPointer = t->Cursor;
    t->Cursor = t->BounceBuffer;
    t->Chunk = t->MaxPacketSize;
  }
  t->Chunk -= t->Chunk % t->MaxPacketSize;
}

// Builds the request block and the I/O request for the chunk. Done before
// the pipe slot shows the transfer, so that a cancel that finds it there
// always marks the request it is about to send.
void BuildChunk(BulkTransferRecord* t) {
  RtlZeroMemory(t->Urb, kBulkRequestSize);
  _URB_BULK_OR_INTERRUPT_TRANSFER& b = t->Urb->UrbBulkOrInterruptTransfer;
  b.Hdr.Length = static_cast<USHORT>(kBulkRequestSize);
  b.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  b.PipeHandle = t->PipeHandle;
  b.TransferFlags = USBD_SHORT_TRANSFER_OK;
  b.TransferBufferLength = t->Chunk;
  b.TransferBuffer = t->Cursor;
  IoReuseIrp(t->Irp, STATUS_SUCCESS);
  IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(t->Irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = t->Urb;
  next->DeviceObject = t->Device->BusDeviceObject;
  IoSetCompletionRoutine(t->Irp, BulkTransferComplete, t, TRUE, TRUE, TRUE);
  t->PendingCount = 1;
}

// Hands the chunk to the bus driver; afterwards the record belongs to the
// completion routine.
NTSTATUS SendChunk(BulkTransferRecord* t) {
  Channel* channel = t->Channel;
  const NTSTATUS status = IoCallDriver(t->Device->BusDeviceObject, t->Irp);
  if (status != STATUS_PENDING && channel != nullptr) channel->ErrorFlag = 1;
  return status;
}

bool Cancelled(NTSTATUS status, USBD_STATUS usbd) {
  return status == STATUS_CANCELLED || usbd == USBD_STATUS_CANCELED;
}

// Takes the chunk's bytes into account; true when the transfer goes on.
bool AccountChunk(BulkTransferRecord* t, ULONG moved) {
  // Never more than the caller's bytes, however much the device sent.
  const ULONG taken = moved < t->Remaining ? moved : t->Remaining;
  if (t->UsingBounce) {
    RtlCopyMemory(t->UserPointer, t->BounceBuffer, taken);
    t->Cursor = t->UserPointer;
    t->UsingBounce = 0;
  }
  t->Total += taken;
  t->Cursor += taken;
  t->Remaining -= taken;
  return t->Remaining != 0 && moved >= t->Chunk;
}

}  // namespace

void FreeBulkTransfer(BulkTransferRecord* t) {
  if (t->Irp != nullptr) IoFreeIrp(t->Irp);
  if (t->Urb != nullptr) ExFreePool(t->Urb);
  if (t->BounceBuffer != nullptr) ExFreePool(t->BounceBuffer);
  ExFreePool(t);
}

NTSTATUS StartTransfer(ClassDevice* device, const TransferArgs& args, bool* sent) {
  *sent = false;
  if (!IsPipeOfInterface(device, args.PipeIndex)) return STATUS_INVALID_PARAMETER;
  const USBD_PIPE_INFORMATION& pipe = device->InterfaceInfo->Pipes[args.PipeIndex];
  // A pipe that takes no bytes at all could never move the transfer on.
  if (pipe.MaximumTransferSize == 0 && args.Length != 0) return STATUS_INVALID_PARAMETER;
  BulkTransferRecord* t = AllocateRecord(device, pipe);
  if (t == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  t->Channel = args.Channel;
  t->Request = args.Request;
  t->PipeIndex = args.PipeIndex;
  t->PipeHandle = pipe.PipeHandle;
  t->MaxTransfer = pipe.MaximumTransferSize;
  t->MaxPacketSize = pipe.MaximumPacketSize;
  t->DirectionIn = (pipe.EndpointAddress & USB_ENDPOINT_DIRECTION_MASK) != 0 ? 1 : 0;
  t->Buffer = args.Buffer;
  t->Length = t->Remaining = args.Length;
  t->Cursor = t->UserPointer = static_cast<UCHAR*>(args.Buffer);
  t->Chunk = args.Length < t->MaxTransfer ? args.Length : t->MaxTransfer;
  t->Completion = args.Completion;
  t->CompletionContext = args.CompletionContext;
  t->Resubmit = args.Resubmit;
  t->SignalEvent = args.SignalEvent;
  PrepareChunk(t);
  BuildChunk(t);
  NTSTATUS status = STATUS_SUCCESS;
  if (device->DeviceState == kDeviceRemoved) {
    status = STATUS_DEVICE_DATA_ERROR;
    if (args.Channel != nullptr) args.Channel->ErrorFlag = 1;
  } else {
    status = ClaimPipe(device, t);
  }
  if (!NT_SUCCESS(status)) {
    FreeBulkTransfer(t);
    return status;
  }
  *sent = true;
  return SendChunk(t);
}

NTSTATUS StartBulkTransfer(ClassDevice* device, Channel* channel, PVOID buffer, ULONG length,
                           LONG pipeIndex, ServiceCompletion completion, PVOID completionContext,
                           UCHAR resubmit, UCHAR signalEvent) {
  const TransferArgs args{channel,
                          channel != nullptr ? channel->Current : nullptr,
                          buffer,
                          length,
                          pipeIndex,
                          completion,
                          completionContext,
                          resubmit,
                          signalEvent};
  bool sent;
  return StartTransfer(device, args, &sent);
}

NTSTATUS BulkTransferComplete(DEVICE_OBJECT*, IRP* irp, PVOID context) {
  auto* t = static_cast<BulkTransferRecord*>(context);
  const NTSTATUS status = irp->IoStatus.Status;
  const USBD_STATUS usbd = t->Urb->UrbHeader.Status;
  const ULONG moved = t->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
  if (t->Channel != nullptr && !t->Channel->Streaming) t->Channel->ErrorFlag = 1;
  InterlockedDecrement(&t->PendingCount);

  if (Cancelled(status, usbd) || !NT_SUCCESS(status) || !USBD_SUCCESS(usbd)) {
    const NTSTATUS failure = Cancelled(status, usbd) ? STATUS_CANCELLED
                             : NT_SUCCESS(status)    ? STATUS_UNSUCCESSFUL
                                                     : status;
    // Before the pipe is given up: a read starting meanwhile must see it.
    if (t->Channel != nullptr && failure != STATUS_CANCELLED) t->Channel->ErrorFlag = 1;
    if (!SettleTransfer(t, failure, true)) EndTransfer(t, failure);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  if (AccountChunk(t, moved)) {
    t->Chunk = t->Chunk < t->Remaining ? t->Chunk : t->Remaining;
    PrepareChunk(t);
    BuildChunk(t);
    if (SettleTransfer(t, STATUS_PENDING, false)) return STATUS_MORE_PROCESSING_REQUIRED;
    // A read or write given up while the last chunk came back found no
    // request in flight to cancel: the next one is not sent.
    const NTSTATUS refusal = t->Device->DeviceState == kDeviceRemoved ? STATUS_DEVICE_DATA_ERROR
                             : OwnerCancelled(t)                      ? STATUS_CANCELLED
                                                                      : STATUS_SUCCESS;
    if (NT_SUCCESS(refusal)) {
      SendChunk(t);
    } else if (!SettleTransfer(t, refusal, true)) {
      EndTransfer(t, refusal);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  if (!SettleTransfer(t, STATUS_SUCCESS, true)) EndTransfer(t, STATUS_SUCCESS);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void NotifyOwner(BulkTransferRecord* t, NTSTATUS status) {
  ClassDevice* device = t->Device;
  if (t->Completion != nullptr) {
    t->Completion(DeviceContextOf(device), t->CompletionContext, status);
  }
  if (NT_SUCCESS(status) && t->SignalEvent && (device->ControlFlags & kDeviceEvents) != 0) {
    SignalSnapshotEvent(device);
  }
}

void EndTransfer(BulkTransferRecord* t, NTSTATUS status) {
  if (t->Channel != nullptr) {
    if (!NT_SUCCESS(status) && status != STATUS_CANCELLED) t->Channel->ErrorFlag = 1;
    FinishBulkRead(t, status);
    FreeBulkTransfer(t);
    return;
  }
  NotifyOwner(t, status);
  if (NT_SUCCESS(status) && t->Resubmit) {
    RestartBulkTransfer(t->Device, t->PipeIndex, t);
    return;
  }
  FreeBulkTransfer(t);
}
