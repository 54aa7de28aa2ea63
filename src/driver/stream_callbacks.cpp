#include "driver/stream_callbacks.h"

#include "codec/decoder.h"
#include "control/camerastate.h"
#include "control/streaming.h"
#include "pipeline/exposure.h"
#include "pipeline/reorderscale.h"
#include "properties/persistence.h"

NTSTATUS AllocateBandwidth(DEVICE_OBJECT* bus, PVOID deviceContext, ULONG* rawFrameLength,
                           KSDATAFORMAT* format, ULONG streamNumber) {
  auto* context = static_cast<DeviceContext*>(deviceContext);
  if (streamNumber != 0) {
    *rawFrameLength = kStillRawFrameLength;
    return STATUS_SUCCESS;
  }
  if (!BeginStreamStart(context)) return STATUS_UNSUCCESSFUL;
  const NTSTATUS status =
      StartCameraForFormat(context, format, LoadStreamSettings(bus, context), rawFrameLength);

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
  if (NT_SUCCESS(LoadStreamSettings(bus, context))) ReviveCamera(context);
  return STATUS_SUCCESS;
}
