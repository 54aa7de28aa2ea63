#include "control/camerastate.h"

#include "platform/registry.h"

namespace {

NTSTATUS WriteDword(const WCHAR* keyPath, const WCHAR* valueName, ULONG value) {
  return RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, keyPath, valueName, REG_DWORD, &value,
                               sizeof value);
}

}  // namespace

NTSTATUS WriteGoodFrameFlag(DeviceContext* context, UCHAR flag) {
  if (flag == 0) context->GoodFrameCount = 0;
  return WriteDword(context->GoodFrameKeyPath, u"Flag", flag);
}
