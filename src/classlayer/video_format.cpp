#include "classlayer/video_format.h"

#include "classlayer/channel.h"
#include "classlayer/frameengine.h"

namespace {

constexpr ULONG kVideoInfoFixedBytes = offsetof(KS_VIDEOINFOHEADER, bmiHeader);

BOOLEAN Refuse(HW_STREAM_REQUEST_BLOCK* srb, NTSTATUS status) {
  srb->Status = status;
  return FALSE;
}

}  // namespace

BOOLEAN ChangeVideoFormat(PVOID, HW_STREAM_REQUEST_BLOCK* srb) {
  const KSDATAFORMAT* format = srb->CommandData.OpenFormat;
  if (format == nullptr || !(format->Specifier == KSDATAFORMAT_SPECIFIER_VIDEOINFO)) {
    return Refuse(srb, STATUS_INVALID_PARAMETER);
  }
  // The copy takes biSize bytes of bitmap header: the format must hold them.
  const auto* video = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format);
  const ULONG fixed = sizeof(KSDATAFORMAT) + kVideoInfoFixedBytes;
  if (format->FormatSize < fixed + sizeof(KS_BITMAPINFOHEADER) ||
      video->VideoInfoHeader.bmiHeader.biSize < sizeof(KS_BITMAPINFOHEADER) ||
      video->VideoInfoHeader.bmiHeader.biSize > format->FormatSize - fixed) {
    return Refuse(srb, STATUS_INVALID_PARAMETER);
  }
  const ULONG size = kVideoInfoFixedBytes + video->VideoInfoHeader.bmiHeader.biSize;
  auto* copy =
      static_cast<KS_VIDEOINFOHEADER*>(ExAllocatePoolWithTag(NonPagedPool, size, kClassPoolTag));
  // The old copy stays in force when no memory is left for the new one.
  if (copy == nullptr) return Refuse(srb, STATUS_INSUFFICIENT_RESOURCES);
  RtlCopyMemory(copy, &video->VideoInfoHeader, size);

  // Frame completions read the stream's copy: swap it between two of them.
  auto* channel = static_cast<Channel*>(srb->StreamObject->HwStreamExtension);
  KeWaitForSingleObject(&channel->WorkLock, Executive, KernelMode, FALSE, nullptr);
  KS_VIDEOINFOHEADER* old = channel->VideoInfo;
  channel->VideoInfo = copy;
  KeReleaseSemaphore(&channel->WorkLock, IO_NO_INCREMENT, 1, FALSE);
  if (old != nullptr) ExFreePool(old);
  srb->Status = STATUS_SUCCESS;
  return TRUE;
}
