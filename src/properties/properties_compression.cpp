// Video compression: the quality setting and what the driver can do, kept
// for clients; nothing of it goes to the camera. These requests keep the
// status the port gave them.
#include "properties/properties.h"

namespace {
constexpr ULONG kKeyFrameRateSlot = 0;
constexpr ULONG kQualitySlot = 2;
}  // namespace

NTSTATUS GetCompressionProperty(DeviceContext* context, HW_STREAM_REQUEST_BLOCK* srb) {
  switch (PropertyId(srb)) {
    case KSPROPERTY_VIDEOCOMPRESSION_GETINFO: {
      auto* info = PropertyData<KSPROPERTY_VIDEOCOMPRESSION_GETINFO_S>(srb);
      if (info == nullptr) return STATUS_BUFFER_TOO_SMALL;
      info->DefaultQuality = 0;
      info->Capabilities = KS_CompressionCaps_CanQuality;
      srb->ActualBytesTransferred = sizeof *info;
      return STATUS_SUCCESS;
    }
    case KSPROPERTY_VIDEOCOMPRESSION_QUALITY: {
      auto* data = PropertyData<KSPROPERTY_VIDEOCOMPRESSION_S>(srb);
      if (data == nullptr) return STATUS_BUFFER_TOO_SMALL;
      data->Value = static_cast<LONG>(context->ControlValue[kQualitySlot]);
      srb->ActualBytesTransferred = sizeof *data;
      return STATUS_SUCCESS;
    }
    default:
      return STATUS_NOT_SUPPORTED;
  }
}

NTSTATUS SetCompressionProperty(DeviceContext* context, HW_STREAM_REQUEST_BLOCK* srb) {
  const ULONG id = PropertyId(srb);
  if (id < KSPROPERTY_VIDEOCOMPRESSION_KEYFRAME_RATE || id > KSPROPERTY_VIDEOCOMPRESSION_QUALITY) {
    return STATUS_NOT_SUPPORTED;
  }
  auto* data = PropertyData<KSPROPERTY_VIDEOCOMPRESSION_S>(srb);
  if (data == nullptr) return STATUS_BUFFER_TOO_SMALL;
  context->ControlValue[kKeyFrameRateSlot + id - KSPROPERTY_VIDEOCOMPRESSION_KEYFRAME_RATE] =
      static_cast<ULONG>(data->Value);
  return STATUS_SUCCESS;
}
