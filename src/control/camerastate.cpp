#include "control/camerastate.h"

#include "control/configstore.h"

NTSTATUS WriteHwState(DeviceContext* context, UCHAR state) {
  return WriteDword(context->HwStateKeyPath, "HwState", state);
}

NTSTATUS WriteGoodFrameFlag(DeviceContext* context, UCHAR flag) {
  if (flag == 0) context->GoodFrameCount = 0;
  return WriteDword(context->GoodFrameKeyPath, "Flag", flag);
}
