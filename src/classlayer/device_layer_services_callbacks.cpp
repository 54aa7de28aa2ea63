#include "classlayer/callback_calls.h"
#include "classlayer/device_layer_services.h"

ULONG InstallCallbackTable(PVOID deviceContext, const DeviceCallbackTable* table, ULONG version,
                           ULONG controlFlags) {
  if (version == kCallbackTableVersion && table != nullptr) {
    ClassDevice* device = ClassDeviceFromContext(deviceContext);
    device->CallbackTable.Extended = *table;
    device->Version = version;
    device->ControlFlags = controlFlags;
  }
  return kCallbackTableVersion;
}
