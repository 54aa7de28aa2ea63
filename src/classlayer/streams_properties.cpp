// The stream property sets the class layer answers itself: the allocator
// framing a capture pin wants, and the video stream's dropped frames.
#include "classlayer/streams.h"
#include "platform/streamproperties.h"

namespace {

constexpr ULONG kFramingFlags = KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY |
                                KSALLOCATOR_REQUIREMENTF_INPLACE_MODIFIER |
                                KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY;

NTSTATUS AllocatorFraming(const Channel* channel, const STREAM_PROPERTY_DESCRIPTOR* property,
                          ULONG* returned) {
  if (channel->VideoInfo == nullptr) return STATUS_INVALID_PARAMETER;
  if (property->PropertyOutputSize < sizeof(KSALLOCATOR_FRAMING)) return STATUS_BUFFER_TOO_SMALL;
  auto* framing = static_cast<KSALLOCATOR_FRAMING*>(property->PropertyInfo);
  framing->RequirementsFlags = kFramingFlags;
  framing->PoolType = PagedPool;
  framing->Frames = channel->StreamNumber == 0 ? 3 : 1;
  framing->FrameSize = channel->VideoInfo->bmiHeader.biSizeImage;
  framing->FileAlignment = 0;
  framing->Reserved = 0;
  *returned = sizeof(KSALLOCATOR_FRAMING);
  return STATUS_SUCCESS;
}

NTSTATUS DroppedFrames(const Channel* channel, const STREAM_PROPERTY_DESCRIPTOR* property,
                       ULONG* returned) {
  if (property->PropertyOutputSize < sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S)) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  auto* dropped = static_cast<KSPROPERTY_DROPPEDFRAMES_CURRENT_S*>(property->PropertyInfo);
  dropped->PictureNumber = channel->FrameInfo.PictureNumber;
  dropped->DropCount = channel->FrameInfo.DropCount;
  dropped->AverageFrameSize =
      channel->VideoInfo != nullptr ? channel->VideoInfo->bmiHeader.biSizeImage : 0;
  *returned = sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S);
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS GetStreamProperty(Channel* channel, HW_STREAM_REQUEST_BLOCK* srb) {
  srb->ActualBytesTransferred = 0;
  const auto* property = static_cast<STREAM_PROPERTY_DESCRIPTOR*>(srb->CommandData.PropertyInfo);
  if (property == nullptr || property->Property == nullptr) return STATUS_INVALID_PARAMETER;
  const KSPROPERTY& id = *property->Property;
  if (id.Set == KSPROPSETID_Connection) {
    if (id.Id != KSPROPERTY_CONNECTION_ALLOCATORFRAMING) return STATUS_NOT_IMPLEMENTED;
    return AllocatorFraming(channel, property, &srb->ActualBytesTransferred);
  }
  if (id.Set == PROPSETID_VIDCAP_DROPPEDFRAMES && channel->StreamNumber == 0) {
    if (id.Id != KSPROPERTY_DROPPEDFRAMES_CURRENT) return STATUS_NOT_IMPLEMENTED;
    return DroppedFrames(channel, property, &srb->ActualBytesTransferred);
  }
  return STATUS_NOT_IMPLEMENTED;
}
