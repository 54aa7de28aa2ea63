#include "classlayer/video_format.h"

#include "classlayer/frameengine.h"
#include "classlayer/streams.h"

namespace {

constexpr ULONG kVideoInfoFixedBytes = offsetof(KS_VIDEOINFOHEADER, bmiHeader);
// The largest video info header a format carries: a bitmap header with a
// full colour table of 256 entries.
constexpr ULONG kFormatRoom =
    sizeof(KSDATAFORMAT) + kVideoInfoFixedBytes + sizeof(KS_BITMAPINFOHEADER) + 256 * sizeof(ULONG);

BOOLEAN Refuse(HW_STREAM_REQUEST_BLOCK* srb, NTSTATUS status) {
  srb->Status = status;
  return FALSE;
}

ULONG FormatBytes(const KS_VIDEOINFOHEADER* info) {
  return sizeof(KSDATAFORMAT) + VideoInfoBytes(info);
}

// The frame pipeline, the raw frame length and the transfers depend on these.
bool ChangesPicture(const KS_VIDEOINFOHEADER* now, const KS_VIDEOINFOHEADER* wanted) {
  const KS_BITMAPINFOHEADER& a = now->bmiHeader;
  const KS_BITMAPINFOHEADER& b = wanted->bmiHeader;
  return a.biWidth != b.biWidth || a.biHeight != b.biHeight || a.biCompression != b.biCompression;
}

// Moves the read being filled and the queued reads to `drained`.
void DrainReads(Channel* channel, LIST_ENTRY* drained) {
  if (channel->Current != nullptr) {
    InsertTailList(drained, &channel->Current->Link);
    channel->Current = nullptr;
  }
  while (!IsListEmpty(&channel->ReadQueue)) {
    InsertTailList(drained, RemoveHeadList(&channel->ReadQueue));
  }
}

}  // namespace

const KS_VIDEOINFOHEADER* VideoInfoOf(const KSDATAFORMAT* format) {
  const ULONG fixed = sizeof(KSDATAFORMAT) + kVideoInfoFixedBytes;
  if (format == nullptr || format->FormatSize < fixed + sizeof(KS_BITMAPINFOHEADER)) return nullptr;
  const auto* info = reinterpret_cast<const KS_VIDEOINFOHEADER*>(format + 1);
  const ULONG bitmap = info->bmiHeader.biSize;
  if (bitmap < sizeof(KS_BITMAPINFOHEADER) || bitmap > format->FormatSize - fixed) return nullptr;
  return info;
}

ULONG VideoInfoBytes(const KS_VIDEOINFOHEADER* info) {
  return kVideoInfoFixedBytes + info->bmiHeader.biSize;
}

NTSTATUS KeepFormatCopy(Channel* channel, const KSDATAFORMAT* format) {
  const KS_VIDEOINFOHEADER* info = VideoInfoOf(format);
  const ULONG bytes = FormatBytes(info);
  const ULONG capacity = bytes > kFormatRoom ? bytes : kFormatRoom;
  auto* copy =
      static_cast<KSDATAFORMAT*>(ExAllocatePoolWithTag(NonPagedPool, capacity, kClassPoolTag));
  if (copy == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(copy, capacity);
  RtlCopyMemory(copy, format, bytes);
  copy->FormatSize = bytes;
  channel->OpenFormat = copy;
  channel->VideoInfo = reinterpret_cast<KS_VIDEOINFOHEADER*>(copy + 1);
  channel->FormatCapacity = capacity;
  return STATUS_SUCCESS;
}

void ReleaseFormatCopy(Channel* channel) {
  if (channel->VideoInfo != nullptr) ExFreePool(channel->OpenFormat);
  channel->OpenFormat = nullptr;
  channel->VideoInfo = nullptr;
  channel->FormatCapacity = 0;
}

void StoreFormat(Channel* channel, const KSDATAFORMAT* format, ULONG rawFrameLength, bool drain,
                 LIST_ENTRY* drained) {
  const ULONG bytes = FormatBytes(VideoInfoOf(format));
  KeWaitForSingleObject(&channel->WorkLock, Executive, KernelMode, FALSE, nullptr);
  KIRQL currentIrql;
  KIRQL queueIrql;
  KeAcquireSpinLock(&channel->CurrentLock, &currentIrql);
  KeAcquireSpinLock(&channel->QueueLock, &queueIrql);
  RtlCopyMemory(channel->OpenFormat, format, bytes);
  channel->OpenFormat->FormatSize = bytes;
  channel->RawFrameLength = rawFrameLength;
  if (drain) DrainReads(channel, drained);
  KeReleaseSpinLock(&channel->QueueLock, queueIrql);
  KeReleaseSpinLock(&channel->CurrentLock, currentIrql);
  KeReleaseSemaphore(&channel->WorkLock, IO_NO_INCREMENT, 1, FALSE);
}

BOOLEAN ChangeVideoFormat(PVOID, HW_STREAM_REQUEST_BLOCK* srb) {
  KSDATAFORMAT* format = srb->CommandData.OpenFormat;
  const KS_VIDEOINFOHEADER* info = VideoInfoOf(format);
  if (info == nullptr || !(format->Specifier == KSDATAFORMAT_SPECIFIER_VIDEOINFO)) {
    return Refuse(srb, STATUS_INVALID_PARAMETER);
  }
  auto* channel = static_cast<Channel*>(srb->StreamObject->HwStreamExtension);
  if (channel->VideoInfo == nullptr) return Refuse(srb, STATUS_INVALID_DEVICE_STATE);  // not open
  if (FormatBytes(info) > channel->FormatCapacity) return Refuse(srb, STATUS_INVALID_PARAMETER);

  NTSTATUS status = STATUS_SUCCESS;
  if (ChangesPicture(channel->VideoInfo, info)) {
    status = PrepareChannelForFormat(channel->Device, channel, format);
  } else {
    // Serialised with a still stream's open, which compares its format.
    AcquireChannelLock(channel->Device);
    StoreFormat(channel, format, channel->RawFrameLength, false, nullptr);
    ReleaseChannelLock(channel->Device);
  }
  srb->Status = status;
  return NT_SUCCESS(status) ? TRUE : FALSE;
}
