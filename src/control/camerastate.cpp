#include "control/camerastate.h"

#include "control/configstore.h"
#include "control/identification.h"
#include "control/streaming.h"
#include "properties/persistence.h"

namespace {
constexpr UCHAR kRestoreAlternateSetting = 7;
}  // namespace

NTSTATUS WriteHwState(DeviceContext* context, UCHAR state) {
  return WriteDword(context->HwStateKeyPath, "HwState", state);
}

NTSTATUS WriteGoodFrameFlag(DeviceContext* context, UCHAR flag) {
  if (flag == 0) context->GoodFrameCount = 0;
  return WriteDword(context->GoodFrameKeyPath, "Flag", flag);
}

NTSTATUS SaveState(DEVICE_OBJECT*, PVOID) {
  return STATUS_SUCCESS;
}

NTSTATUS RestoreState(DEVICE_OBJECT* bus, PVOID deviceContext) {
  auto* context = static_cast<DeviceContext*>(deviceContext);
  ReadCameraInfo(context, 0);
  BuildRegistryPaths(context);
  LoadControlSettings(context);
  WriteHwState(context, 1);
  WriteGoodFrameFlag(context, 0);
  if (!NT_SUCCESS(LoadStreamSettings(bus, context))) return STATUS_SUCCESS;
  LoadCaptureSettings(context);
  InitialiseCamera(context);
  // One setting below the highest: the bus may not have its full bandwidth back yet.
  if (NT_SUCCESS(ChooseAlternateSetting(context, kRestoreAlternateSetting))) {
    context->MaxPacketSize = context->Interface->Pipes[0].MaximumPacketSize;
    MarkFrameValid(context);
    context->SequenceErrorCount = 0;
    context->NextSequenceByte = 0;
  }
  return STATUS_SUCCESS;
}
