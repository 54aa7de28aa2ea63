#include "driver/driver_entry.h"

#include "classlayer/device_layer_services.h"
#include "control/devicecontext.h"
#include "driver/request_filter.h"

NTSTATUS DriverEntry(DRIVER_OBJECT* driverObject, UNICODE_STRING* registryPath) {
  return ClassDriverEntry(driverObject, registryPath, sizeof(DeviceContext), kFrameContextSize,
                          FilterDeviceRequest);
}
