#include "driver/device_callbacks.h"

#include "control/configstore.h"
#include "control/identification.h"
#include "properties/persistence.h"
#include "properties/properties.h"

NTSTATUS InitializeAndLoadSettings(DEVICE_OBJECT* bus, PVOID deviceContext) {
  const NTSTATUS status = Initialize(bus, deviceContext);
  if (!NT_SUCCESS(status)) return status;
  auto* context = static_cast<DeviceContext*>(deviceContext);
  BuildRegistryPaths(context);
  LoadControlSettings(context);
  LoadCaptureSettings(context);
  LoadCustomPropertyGuid(context);
  RestoreProcAmpSettings(context);
  return status;
}
