#include "classlayer/usbrequests.h"

#include "classlayer/frameengine.h"

namespace {

constexpr ULONG kControlRequestBlock = 80;
constexpr ULONG kPipeRequestBlock = 24;

URB* AllocateUrb(ULONG size) {
  auto* urb = static_cast<URB*>(ExAllocatePoolWithTag(NonPagedPool, size, kClassPoolTag));
  if (urb != nullptr) RtlZeroMemory(urb, size);
  return urb;
}

NTSTATUS DescriptorRequest(ClassDevice* device, UCHAR type, PVOID buffer, ULONG length,
                           ULONG* returned) {
  URB* urb = AllocateUrb(kControlRequestBlock);
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  UsbBuildGetDescriptorRequest(urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), type, 0, 0, buffer,
                               nullptr, length, nullptr);
  NTSTATUS status = SubmitUrbSync(device, urb);
  if (returned != nullptr) {
    *returned = NT_SUCCESS(status) ? urb->UrbControlDescriptorRequest.TransferBufferLength : 0;
  }
  ExFreePool(urb);
  return status;
}

NTSTATUS PipeRequest(ClassDevice* device, USHORT function, USBD_PIPE_HANDLE pipe) {
  URB* urb = AllocateUrb(kPipeRequestBlock > sizeof(_URB_PIPE_REQUEST)
                             ? kPipeRequestBlock
                             : static_cast<ULONG>(sizeof(_URB_PIPE_REQUEST)));
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  urb->UrbPipeRequest.Hdr.Length = sizeof(_URB_PIPE_REQUEST);
  urb->UrbPipeRequest.Hdr.Function = function;
  urb->UrbPipeRequest.PipeHandle = pipe;
  NTSTATUS status = SubmitUrbSync(device, urb);
  ExFreePool(urb);
  return status;
}

// A port request's state, shared by the waiter and the completion routine so
// that whichever finishes last releases it: the waiter may give up after
// 30 ms while the bus driver still holds the request.
struct PortRequest {
  KEVENT Done;
  LONG References;
  ULONG PortStatus;
  NTSTATUS Status;
};

void ReleasePortRequest(PortRequest* request) {
  if (InterlockedDecrement(&request->References) == 0) ExFreePool(request);
}

NTSTATUS PortRequestComplete(DEVICE_OBJECT*, IRP* irp, PVOID context) {
  auto* request = static_cast<PortRequest*>(context);
  request->Status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  KeSetEvent(&request->Done, IO_NO_INCREMENT, FALSE);
  ReleasePortRequest(request);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS SendPortRequest(ClassDevice* device, ULONG ioControlCode, ULONG* portStatus) {
  if (device->DeviceState == kDeviceRemoved) return STATUS_DEVICE_DATA_ERROR;
  auto* request = static_cast<PortRequest*>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(PortRequest), kClassPoolTag));
  if (request == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  IRP* irp = IoAllocateIrp(device->BusDeviceObject->StackSize, FALSE);
  if (irp == nullptr) {
    ExFreePool(request);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  KeInitializeEvent(&request->Done, NotificationEvent, FALSE);
  request->References = 2;
  request->PortStatus = 0;
  request->Status = STATUS_PENDING;

  IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
  next->Parameters.Others.Argument1 = &request->PortStatus;
  IoSetCompletionRoutine(irp, PortRequestComplete, request, TRUE, TRUE, TRUE);
  IoCallDriver(device->BusDeviceObject, irp);

  LARGE_INTEGER timeout;
  timeout.QuadPart = kPortRequestTimeout;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  if (KeWaitForSingleObject(&request->Done, Executive, KernelMode, FALSE, &timeout) ==
      STATUS_SUCCESS) {
    status = request->Status;
    if (portStatus != nullptr) *portStatus = request->PortStatus;
  }
  ReleasePortRequest(request);
  return status;
}

}  // namespace

NTSTATUS SubmitUrbSync(ClassDevice* device, URB* urb) {
  KeWaitForSingleObject(&device->UrbLock, Executive, KernelMode, FALSE, nullptr);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK ioStatus{};
  NTSTATUS status;
  IRP* irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, device->BusDeviceObject,
                                           nullptr, 0, nullptr, 0, TRUE, &event, &ioStatus);
  if (irp == nullptr) {
    status = STATUS_UNSUCCESSFUL;
  } else if (device->DeviceState == kDeviceRemoved) {
    IoFreeIrp(irp);  // built but never sent
    status = STATUS_DEVICE_DATA_ERROR;
  } else {
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    status = IoCallDriver(device->BusDeviceObject, irp);
    if (status == STATUS_PENDING) {
      LARGE_INTEGER timeout;
      timeout.QuadPart = kUrbTimeout;
      if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
        KIRQL oldIrql = KeGetCurrentIrql();
        if (oldIrql < APC_LEVEL) KeRaiseIrql(APC_LEVEL, &oldIrql);
        const bool stillPending = KeReadStateEvent(&event) == 0;
        if (stillPending) IoCancelIrp(irp);
        KeLowerIrql(oldIrql);
        if (stillPending) {
          // The request refers to this frame's event and status block: wait
          // until the bus driver has given it back before they go away.
          KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
          status = STATUS_IO_TIMEOUT;
        } else {
          status = ioStatus.Status;
        }
      } else {
        status = ioStatus.Status;
      }
    }
  }
  KeReleaseSemaphore(&device->UrbLock, IO_NO_INCREMENT, 1, FALSE);
  return status;
}

NTSTATUS ReadDeviceDescriptor(ClassDevice* device, USB_DEVICE_DESCRIPTOR* descriptor) {
  return DescriptorRequest(device, USB_DEVICE_DESCRIPTOR_TYPE, descriptor,
                           sizeof(USB_DEVICE_DESCRIPTOR), nullptr);
}

NTSTATUS ReadConfigurationDescriptor(ClassDevice* device, PVOID buffer, ULONG length,
                                     ULONG* returned) {
  return DescriptorRequest(device, USB_CONFIGURATION_DESCRIPTOR_TYPE, buffer, length, returned);
}

NTSTATUS AbortPipe(ClassDevice* device, USBD_PIPE_HANDLE pipe) {
  return PipeRequest(device, URB_FUNCTION_ABORT_PIPE, pipe);
}

NTSTATUS ResetPipe(ClassDevice* device, USBD_PIPE_HANDLE pipe) {
  return PipeRequest(device, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, pipe);
}

NTSTATUS GetPortStatus(ClassDevice* device, ULONG* portStatus) {
  return SendPortRequest(device, IOCTL_INTERNAL_USB_GET_PORT_STATUS, portStatus);
}

NTSTATUS ResetPort(ClassDevice* device) {
  return SendPortRequest(device, IOCTL_INTERNAL_USB_RESET_PORT, nullptr);
}
