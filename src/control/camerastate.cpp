#include "control/camerastate.h"

#include "control/configstore.h"
#include "control/identification.h"
#include "control/streaming.h"

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

void BeginCameraRestore(DeviceContext* context) {
  ReadCameraInfo(context, 0);
  BuildRegistryPaths(context);
  LoadControlSettings(context);
  WriteHwState(context, 1);
  WriteGoodFrameFlag(context, 0);
}

void ReviveCamera(DeviceContext* context) {
  LoadCaptureSettings(context);
  InitialiseCamera(context);
  // One setting below the highest: the bus may not have its full bandwidth back yet.
  if (NT_SUCCESS(ChooseAlternateSetting(context, kRestoreAlternateSetting))) {
    context->MaxPacketSize = context->Interface->Pipes[0].MaximumPacketSize;
    MarkFrameValid(context);
    context->SequenceErrorCount = 0;
    context->NextSequenceByte = 0;
  }
}
