// Unknown device commands: the answer to the query for the service interface.
#include "classlayer/bulk.h"
#include "classlayer/device.h"
#include "classlayer/recovery.h"
#include "classlayer/video_format.h"

namespace {

constexpr UCHAR kPnpMajorFunction = IRP_MJ_PNP;

NTSTATUS AnswerQueryInterface(IRP* irp) {
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  const auto& query = stack->Parameters.QueryInterface;
  if (query.InterfaceType == nullptr || !(*query.InterfaceType == kServiceInterfaceGuid) ||
      query.Size != sizeof(ServiceInterface) || query.Version != kServiceInterfaceVersion ||
      query.Interface == nullptr) {
    return STATUS_NOT_SUPPORTED;
  }
  // Context and the reference routines stay as the requester filled them.
  auto* record = reinterpret_cast<ServiceInterface*>(query.Interface);
  record->Size = sizeof(ServiceInterface);
  record->Version = kServiceInterfaceVersion;
  record->InterruptWait = InterruptWait;
  record->BulkTransfer = BulkTransfer;
  record->ChangeVideoFormat = ChangeVideoFormat;
  record->IsoPipeControl = IsoPipeControl;
  record->BulkCancel = BulkCancel;
  irp->IoStatus.Status = STATUS_SUCCESS;
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS ReceiveUnknownDeviceCommand(ClassDevice*, HW_STREAM_REQUEST_BLOCK* srb) {
  IRP* irp = srb->Irp;
  IO_STACK_LOCATION* stack = irp != nullptr ? IoGetCurrentIrpStackLocation(irp) : nullptr;
  if (stack == nullptr || stack->MajorFunction != kPnpMajorFunction) {
    DbgPrint("\n&&&&&&&&&&&&&&&&&\n");
    return STATUS_NOT_IMPLEMENTED;
  }
  if (stack->MinorFunction != IRP_MN_QUERY_INTERFACE) return STATUS_NOT_IMPLEMENTED;
  return AnswerQueryInterface(irp);
}
