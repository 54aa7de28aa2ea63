// Registration with the stream-class port at driver entry.
#include "classlayer/device.h"
#include "classlayer/device_layer_services.h"
#include "classlayer/frameengine.h"

namespace {

constexpr ULONG kBufferAlignment = 3;

}  // namespace

NTSTATUS ClassDriverEntry(DRIVER_OBJECT* driverObject, UNICODE_STRING* registryPath,
                          ULONG deviceContextSize, ULONG frameContextSize,
                          DeviceRequestFilter requestFilter) {
  HW_INITIALIZATION_DATA data{};
  data.HwInitializationDataSize = sizeof data;
  data.HwInterrupt = nullptr;
  data.HwReceivePacket = requestFilter;
  data.HwCancelPacket = CancelReadRequest;
  data.HwRequestTimeoutHandler = ReadRequestTimeout;
  data.DeviceExtensionSize = DeviceExtensionSize(deviceContextSize);
  data.PerRequestExtensionSize = PerRequestExtensionSize(frameContextSize);
  data.PerStreamExtensionSize = sizeof(Channel);
  data.FilterInstanceExtensionSize = 0;
  data.BusMasterDMA = FALSE;
  data.Dma24BitAddresses = FALSE;
  data.BufferAlignment = kBufferAlignment;
  // The port does not serialise calls: the class layer locks for itself.
  data.TurnOffSynchronization = TRUE;
  data.DmaBufferSize = 0;
  data.NumNameExtensions = 0;
  data.NameExtensionArray = nullptr;
  return StreamClassRegisterAdapter(driverObject, registryPath, &data);
}
