#include "driver/stream_callbacks.h"

#include "codec/decoder.h"
#include "control/camerastate.h"
#include "control/streaming.h"
#include "pipeline/exposure.h"
#include "pipeline/reorderscale.h"
#include "properties/persistence.h"
#include "properties/properties.h"

NTSTATUS AllocateBandwidth(DEVICE_OBJECT* bus, PVOID deviceContext, ULONG* rawFrameLength,
                           KSDATAFORMAT* format, ULONG streamNumber) {
  auto* context = static_cast<DeviceContext*>(deviceContext);
  if (streamNumber != 0) {
    *rawFrameLength = kStillRawFrameLength;
    return STATUS_SUCCESS;
  }
  if (!BeginStreamStart(context)) return STATUS_UNSUCCESSFUL;
  const NTSTATUS settings = LoadStreamSettings(bus, context);
  // The custom set's identifier may change with every stream.
  if (NT_SUCCESS(settings)) LoadCustomPropertyGuid(context);
  NTSTATUS status = StartCameraForFormat(context, format, settings, rawFrameLength);
  if (NT_SUCCESS(settings) && NT_SUCCESS(status)) status = RestoreProcAmpSettings(context);

  context->FirstFrameDone = 0;
  PrepareDecoderTables();
  if (context->SoftwareAeAwb == 1) InitSensorAe(context);
  SendQTable(context);
  UseOutputSizeFromNowOn(context);
  BuildScaleMaps(context);
  return status;
}

NTSTATUS StopCapture(DEVICE_OBJECT*, PVOID deviceContext, ULONG streamNumber) {
  auto* context = static_cast<DeviceContext*>(deviceContext);
  if (streamNumber != 0) return STATUS_SUCCESS;
  BeginCaptureStop(context);
  const NTSTATUS status = SaveProcAmpSettings(context);
  StopCamera(context);
  return status;
}

NTSTATUS RestoreState(DEVICE_OBJECT* bus, PVOID deviceContext) {
  auto* context = static_cast<DeviceContext*>(deviceContext);
  BeginCameraRestore(context);
  if (!NT_SUCCESS(LoadStreamSettings(bus, context))) return STATUS_SUCCESS;
  LoadCustomPropertyGuid(context);
  if (ReviveCamera(context)) RestoreProcAmpSettings(context);
  return STATUS_SUCCESS;
}
