// The service interface's bulk, interrupt and cancel entries. Called above
// passive level, a transfer is started from a work item instead.
#include "classlayer/bulk.h"
#include "classlayer/callback_calls.h"
#include "classlayer/frameengine.h"
#include "classlayer/usbconfig.h"

namespace {

struct DeferredTransfer {
  WORK_QUEUE_ITEM Work;
  ClassDevice* Device;
  TransferArgs Args;
};

void DeferredTransferWork(PVOID context) {
  auto* deferred = static_cast<DeferredTransfer*>(context);
  bool sent;
  const TransferArgs& args = deferred->Args;
  const NTSTATUS status = StartTransfer(deferred->Device, args, &sent);
  // The caller was told STATUS_PENDING: it hears the outcome through its completion.
  if (!sent) AbandonTransfer(deferred->Device, args, status);
  ExFreePool(deferred);
}

NTSTATUS StartOrDefer(ClassDevice* device, const TransferArgs& args) {
  if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
    bool sent;
    const NTSTATUS status = StartTransfer(device, args, &sent);
    if (!sent && args.Channel != nullptr) ReturnBulkRead(args.Channel, args.Request);
    return status;
  }
  auto* deferred = static_cast<DeferredTransfer*>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(DeferredTransfer), kClassPoolTag));
  if (deferred == nullptr) {
    if (args.Channel != nullptr) ReturnBulkRead(args.Channel, args.Request);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  deferred->Device = device;
  deferred->Args = args;
  ExInitializeWorkItem(&deferred->Work, DeferredTransferWork, deferred);
  ExQueueWorkItem(&deferred->Work, DelayedWorkQueue);
  return STATUS_PENDING;
}

// A free pipe of the current interface with the given transfer type.
bool IsIdlePipeOfType(ClassDevice* device, ULONG pipeIndex, UCHAR type) {
  const auto index = static_cast<LONG>(pipeIndex);
  if (pipeIndex > 0x7FFFFFFF || !IsPipeOfInterface(device, index)) return false;
  return device->PipeTable[index].TransferType == type && !BulkTransferPending(device, index);
}

// The stream whose data pipe this is takes its next read as Current; that
// read's raw buffer is what the transfer fills.
NTSTATUS TakeReadFor(ClassDevice* device, ULONG pipeIndex, TransferArgs* args) {
  for (Channel* channel : device->Channel) {
    if (channel == nullptr || channel->DataPipe != static_cast<LONG>(pipeIndex)) continue;
    ULONG length = 0;
    FrameRequest* request = TakeBulkRead(device, channel, &length);
    if (request == nullptr) return STATUS_INVALID_PARAMETER;
    args->Channel = channel;
    args->Request = request;
    args->Buffer = request->RawBuffer;
    args->Length = length;
    return STATUS_SUCCESS;
  }
  return STATUS_INVALID_PARAMETER;
}

}  // namespace

NTSTATUS BulkTransfer(PVOID deviceContext, ULONG pipeIndex, PVOID buffer, ULONG length,
                      ServiceCompletion completion, PVOID completionContext) {
  ClassDevice* device = ClassDeviceFromContext(deviceContext);
  if (device->Removed) return STATUS_FILE_CLOSED;
  if (!IsIdlePipeOfType(device, pipeIndex, USB_ENDPOINT_TYPE_BULK)) {
    return STATUS_INVALID_PARAMETER;
  }
  TransferArgs args{nullptr,    nullptr,           buffer, length, static_cast<LONG>(pipeIndex),
                    completion, completionContext, 0,      0};
  if (buffer == nullptr) {
    const NTSTATUS status = TakeReadFor(device, pipeIndex, &args);
    if (!NT_SUCCESS(status)) return status;
  }
  return StartOrDefer(device, args);
}

NTSTATUS InterruptWait(PVOID deviceContext, ULONG pipeIndex, PVOID buffer, ULONG length,
                       ServiceCompletion completion, PVOID completionContext, UCHAR resubmit) {
  ClassDevice* device = ClassDeviceFromContext(deviceContext);
  if (device->Removed) return STATUS_FILE_CLOSED;
  if (!IsIdlePipeOfType(device, pipeIndex, USB_ENDPOINT_TYPE_INTERRUPT) || buffer == nullptr ||
      length < device->InterfaceInfo->Pipes[pipeIndex].MaximumPacketSize) {
    return STATUS_INVALID_PARAMETER;
  }
  const TransferArgs args{
      nullptr,    nullptr,           buffer,   length, static_cast<LONG>(pipeIndex),
      completion, completionContext, resubmit, 1};
  return StartOrDefer(device, args);
}

NTSTATUS BulkCancel(PVOID deviceContext, ULONG pipeIndex) {
  ClassDevice* device = ClassDeviceFromContext(deviceContext);
  const auto index = static_cast<LONG>(pipeIndex);
  if (pipeIndex > 0x7FFFFFFF || !IsPipeOfInterface(device, index)) return STATUS_INVALID_PARAMETER;
  if (!BulkTransferPending(device, index)) return STATUS_SUCCESS;
  // Cancelling waits for the transfer to come back: passive level only.
  if (device->PipeTable[index].TransferType != USB_ENDPOINT_TYPE_BULK ||
      KeGetCurrentIrql() >= DISPATCH_LEVEL) {
    return STATUS_INVALID_PARAMETER;
  }
  return CancelBulkTransfer(device, index, FALSE);
}
