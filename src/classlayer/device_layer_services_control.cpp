// The vendor control service and the alternate-setting switch the device
// layer calls.
#include "classlayer/bulk.h"
#include "classlayer/callback_calls.h"
#include "classlayer/device_layer_services.h"
#include "classlayer/frameengine.h"
#include "classlayer/usbrequests.h"

namespace {

// The bounce buffer and the request block are one allocation, data first; the
// block starts on an 8-byte boundary after the data.
constexpr ULONG AlignUp8(ULONG n) {
  return (n + 7) & ~7u;
}
constexpr ULONG kMaxControlDataLength = 0xFFFF;

struct DeferredControlRequest {
  WORK_QUEUE_ITEM Work;
  PVOID DeviceContext;
  UCHAR Request;
  USHORT Value;
  USHORT Index;
  PVOID Buffer;
  ULONG* Length;
  UCHAR Direction;
  ControlRequestCompletion Completion;
  PVOID CompletionContext;
};

NTSTATUS ControlRequestBody(PVOID deviceContext, UCHAR request, USHORT value, USHORT index,
                            PVOID buffer, ULONG* length, UCHAR direction) {
  ClassDevice* device = ClassDeviceFromContext(deviceContext);
  const ULONG n = length != nullptr ? *length : 0;
  // A control transfer's data stage has a 16-bit length; a larger one would
  // also wrap the allocation size below and overrun the bounce buffer.
  if (n > kMaxControlDataLength) return STATUS_INVALID_PARAMETER;
  const ULONG dataSpace = AlignUp8(n);
  const ULONG blockSize = sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
  auto* block = static_cast<UCHAR*>(
      ExAllocatePoolWithTag(NonPagedPool, dataSpace + blockSize, kClassPoolTag));
  if (block == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  UCHAR* bounce = n > 0 ? block : nullptr;
  if (bounce != nullptr && direction == 0) RtlCopyMemory(bounce, buffer, n);

  auto* urb = reinterpret_cast<URB*>(block + dataSpace);
  RtlZeroMemory(urb, blockSize);
  _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& vendor = urb->UrbControlVendorClassRequest;
  vendor.Hdr.Length = static_cast<USHORT>(blockSize);
  vendor.Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
  vendor.TransferFlags = direction != 0 ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT;
  vendor.TransferBufferLength = n;
  vendor.TransferBuffer = bounce;
  vendor.RequestTypeReservedBits = 0;
  vendor.Request = request;
  vendor.Value = value;
  vendor.Index = index;

  NTSTATUS status = SubmitUrbSync(device, urb);
  if (NT_SUCCESS(status) && length != nullptr) {
    // Never more than the caller asked for, whatever the bus reports.
    const ULONG moved = vendor.TransferBufferLength < n ? vendor.TransferBufferLength : n;
    *length = moved;
    if (bounce != nullptr && direction != 0) RtlCopyMemory(buffer, bounce, moved);
  }
  ExFreePool(block);
  return status;
}

void DeferredControlWork(PVOID context) {
  auto* deferred = static_cast<DeferredControlRequest*>(context);
  NTSTATUS status =
      ControlRequestBody(deferred->DeviceContext, deferred->Request, deferred->Value,
                         deferred->Index, deferred->Buffer, deferred->Length, deferred->Direction);
  if (deferred->Completion != nullptr) {
    deferred->Completion(deferred->DeviceContext, deferred->CompletionContext, status);
  }
  ExFreePool(deferred);
}

// Sends the select-interface request and keeps what the bus driver returned.
NTSTATUS SelectInterface(ClassDevice* device, USBD_INTERFACE_INFORMATION* interfaceInfo);

}  // namespace

NTSTATUS ControlRequest(PVOID deviceContext, UCHAR request, USHORT value, USHORT index,
                        PVOID buffer, ULONG* length, UCHAR direction,
                        ControlRequestCompletion completion, PVOID completionContext) {
  if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
    NTSTATUS status =
        ControlRequestBody(deviceContext, request, value, index, buffer, length, direction);
    if (completion != nullptr) completion(deviceContext, completionContext, status);
    return status;
  }
  auto* deferred = static_cast<DeferredControlRequest*>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(DeferredControlRequest), kClassPoolTag));
  if (deferred == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  deferred->DeviceContext = deviceContext;
  deferred->Request = request;
  deferred->Value = value;
  deferred->Index = index;
  deferred->Buffer = buffer;
  deferred->Length = length;
  deferred->Direction = direction;
  deferred->Completion = completion;
  deferred->CompletionContext = completionContext;
  ExInitializeWorkItem(&deferred->Work, DeferredControlWork, deferred);
  ExQueueWorkItem(&deferred->Work, DelayedWorkQueue);
  return STATUS_PENDING;
}

NTSTATUS SelectAlternateSetting(PVOID deviceContext, USBD_INTERFACE_INFORMATION* interfaceInfo) {
  ClassDevice* device = ClassDeviceFromContext(deviceContext);
  // Transfers on the old pipes are cut off and started again on the new ones.
  const bool extended = HasExtendedCallbackTable(device);
  if (extended && !NT_SUCCESS(PauseBulkTransfers(device))) {
    ResumeBulkTransfers(device);
    return STATUS_DEVICE_DATA_ERROR;
  }
  const NTSTATUS status = SelectInterface(device, interfaceInfo);
  if (extended) ResumeBulkTransfers(device);
  return status;
}

namespace {

NTSTATUS SelectInterface(ClassDevice* device, USBD_INTERFACE_INFORMATION* interfaceInfo) {
  const ULONG header = offsetof(_URB_SELECT_INTERFACE, Interface);
  const ULONG size = header + interfaceInfo->Length;
  auto* urb = static_cast<URB*>(ExAllocatePoolWithTag(NonPagedPool, size, kClassPoolTag));
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(urb, size);
  _URB_SELECT_INTERFACE& select = urb->UrbSelectInterface;
  select.Hdr.Length = static_cast<USHORT>(size);
  select.Hdr.Function = URB_FUNCTION_SELECT_INTERFACE;
  select.ConfigurationHandle = device->ConfigurationHandle;
  RtlCopyMemory(&select.Interface, interfaceInfo, interfaceInfo->Length);

  NTSTATUS status = SubmitUrbSync(device, urb);
  if (NT_SUCCESS(status) && USBD_SUCCESS(select.Hdr.Status)) {
    // The answer is never longer than the record that was sent.
    const USHORT length = select.Interface.Length <= interfaceInfo->Length ? select.Interface.Length
                                                                           : interfaceInfo->Length;
    USBD_INTERFACE_INFORMATION* saved = device->InterfaceInfo;
    if (saved != nullptr && saved->Length < length) {
      // Another alternate setting may have more pipes than the first one.
      auto* larger = static_cast<USBD_INTERFACE_INFORMATION*>(
          ExAllocatePoolWithTag(NonPagedPool, length, kClassPoolTag));
      if (larger != nullptr) {
        ExFreePool(saved);
        saved = device->InterfaceInfo = larger;
      } else {
        saved = nullptr;
        status = STATUS_INSUFFICIENT_RESOURCES;
      }
    }
    if (saved != nullptr) RtlCopyMemory(saved, &select.Interface, length);
    RtlCopyMemory(interfaceInfo, &select.Interface, length);
  }
  ExFreePool(urb);
  return status;
}

}  // namespace
