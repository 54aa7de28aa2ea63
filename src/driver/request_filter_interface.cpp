// The service interface hand-shake at initialisation complete.
#include "classlayer/device_layer_services.h"
#include "control/devicecontext.h"
#include "driver/request_filter.h"

namespace {

NTSTATUS QueryDone(DEVICE_OBJECT*, IRP*, PVOID event) {
  KeSetEvent(static_cast<KEVENT*>(event), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;  // the packet is ours to free
}

// Sends the query-interface request to the driver's own device object and
// waits for it; the status is not looked at, the record's entries are.
void QueryServiceInterface(DEVICE_OBJECT* classDevice, ServiceInterface* record) {
  IRP* irp = IoAllocateIrp(classDevice->StackSize, FALSE);
  if (irp == nullptr) return;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;  // what a query nobody answers ends with
  IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_PNP;
  next->MinorFunction = IRP_MN_QUERY_INTERFACE;
  next->Parameters.QueryInterface.InterfaceType = &kServiceInterfaceGuid;
  next->Parameters.QueryInterface.Size = sizeof(ServiceInterface);
  next->Parameters.QueryInterface.Version = kServiceInterfaceVersion;
  next->Parameters.QueryInterface.Interface = reinterpret_cast<INTERFACE*>(record);
  next->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
  IoSetCompletionRoutine(irp, QueryDone, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(classDevice, irp) == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  }
  IoFreeIrp(irp);
}

}  // namespace

void ObtainServiceInterface(PVOID deviceContext) {
  auto* context = static_cast<DeviceContext*>(deviceContext);
  auto* record = static_cast<ServiceInterface*>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(ServiceInterface), kDevicePoolTag));
  if (record != nullptr) RtlZeroMemory(record, sizeof(ServiceInterface));
  if (record != nullptr && context->ClassDeviceObject != nullptr) {
    QueryServiceInterface(context->ClassDeviceObject, record);
  }
  if (record != nullptr && record->IsoPipeControl != nullptr) {
    context->Services = *record;
  } else {
    context->Services.Version = 0;  // marks the interface as absent
  }
  if (record != nullptr) ExFreePool(record);
}
