#include "control/devicecontext.h"

ULONG DebugMessage = 0;
UCHAR ProductName[kProductNameLength + 1] = {};
UCHAR FirmwareVersion = 0;
UCHAR ProductDescriptor[64] = {};
UCHAR SizeTablePage[64] = {};
UCHAR Flip = 0;
ULONG AutoWhiteBalanceSetting = 0;
UCHAR SnapshotStatus[2] = {};
std::atomic<UCHAR> bSnap{0};

namespace {

constexpr ULONG kPipe0TransferSize = 0x8000;

// Allocates a buffer the record owns unless it already has one, so a repeated
// Configure does not lose the first set. False when the pool is exhausted.
bool EnsureBuffer(UCHAR** slot, ULONG size) {
  if (*slot != nullptr) return true;
  *slot = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, size, kDevicePoolTag));
  return *slot != nullptr;
}

void FreeBuffer(UCHAR** slot) {
  if (*slot == nullptr) return;
  ExFreePool(*slot);
  *slot = nullptr;
}

void FreeInterfaceCopy(DeviceContext* context) {
  if (context->Interface == nullptr) return;
  ExFreePool(context->Interface);
  context->Interface = nullptr;
}

}  // namespace

NTSTATUS Configure(DEVICE_OBJECT*, PVOID deviceContext, USBD_INTERFACE_INFORMATION* interfaceInfo,
                   USB_CONFIGURATION_DESCRIPTOR*, ULONG numberOfPipes, USHORT* pipeConfig,
                   USB_DEVICE_DESCRIPTOR*) {
  auto* context = static_cast<DeviceContext*>(deviceContext);
  context->Signature = kDeviceContextSignature;
  context->FrameRate = kInitialFrameRate;

  if (interfaceInfo == nullptr) {
    FreeInterfaceCopy(context);
    return STATUS_SUCCESS;
  }

  KeInitializeSemaphore(&context->FrameLock, 1, 1);

  NTSTATUS status = STATUS_SUCCESS;
  // The copy is never smaller than the record type, so reading pipe 0 from it
  // stays inside the allocation even when the bus driver's Length is short.
  const ULONG copySize = interfaceInfo->Length > sizeof(USBD_INTERFACE_INFORMATION)
                             ? interfaceInfo->Length
                             : static_cast<ULONG>(sizeof(USBD_INTERFACE_INFORMATION));
  auto* copy = static_cast<USBD_INTERFACE_INFORMATION*>(
      ExAllocatePoolWithTag(NonPagedPool, copySize, kDevicePoolTag));
  if (copy != nullptr) {
    interfaceInfo->AlternateSetting = 0;
    if (interfaceInfo->NumberOfPipes > 0)
      interfaceInfo->Pipes[0].MaximumTransferSize = kPipe0TransferSize;
    RtlZeroMemory(copy, copySize);
    RtlCopyMemory(copy, interfaceInfo, interfaceInfo->Length);
    FreeInterfaceCopy(context);
    context->Interface = copy;
  } else {
    status = STATUS_INSUFFICIENT_RESOURCES;
  }

  bool allocated = EnsureBuffer(&context->RawImageBuffer, kWorkBufferSize);
  allocated = EnsureBuffer(&context->ConvertBuffer, kWorkBufferSize) && allocated;
  allocated = EnsureBuffer(&context->p_ucScale_V_Buf_Y, kScaleMapSize) && allocated;
  allocated = EnsureBuffer(&context->p_ucScale_V_Buf_UV, kScaleMapSize) && allocated;
  allocated = EnsureBuffer(&context->p_ucScale_H_Buf_Y, kScaleMapSize) && allocated;
  allocated = EnsureBuffer(&context->p_ucScale_H_Buf_UV, kScaleMapSize) && allocated;
  if (!allocated) status = STATUS_INSUFFICIENT_RESOURCES;

  // Pipes beyond the four the table describes get no role rather than
  // whatever lies past its end.
  if (pipeConfig != nullptr) {
    for (ULONG i = 0; i < numberOfPipes; ++i) {
      pipeConfig[i] = i < 4 ? kPipeConfiguration[i] : 0;
    }
  }
  return status;
}

void FreeDeviceBuffers(DeviceContext* context) {
  FreeInterfaceCopy(context);
  FreeBuffer(&context->RawImageBuffer);
  FreeBuffer(&context->ConvertBuffer);
  FreeBuffer(&context->p_ucScale_V_Buf_Y);
  FreeBuffer(&context->p_ucScale_V_Buf_UV);
  FreeBuffer(&context->p_ucScale_H_Buf_Y);
  FreeBuffer(&context->p_ucScale_H_Buf_UV);
}
