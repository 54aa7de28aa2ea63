// Format negotiation: the intersection of a client's data range with the
// stream's list, and the check of a format a client opens or proposes.
#include "properties/formats.h"

namespace {

// The data format header and the video info header before its bitmap header.
constexpr ULONG kFormatPrefix = sizeof(KSDATAFORMAT) + offsetof(KS_VIDEOINFOHEADER, bmiHeader);

bool Same(const void* a, const void* b, SIZE_T length) {
  return RtlCompareMemory(a, b, length) == length;
}

// The fields a client's range must share with a list entry.
bool RangeMatches(const KS_DATARANGE_VIDEO& client, const KS_DATARANGE_VIDEO& entry) {
  const KSDATARANGE& c = client.DataRange;
  const KSDATARANGE& e = entry.DataRange;
  return c.FormatSize == e.FormatSize && c.MajorFormat == e.MajorFormat &&
         c.SubFormat == e.SubFormat && c.Specifier == e.Specifier &&
         client.bFixedSizeSamples == entry.bFixedSizeSamples &&
         client.bTemporalCompression == entry.bTemporalCompression &&
         client.StreamDescriptionFlags == entry.StreamDescriptionFlags &&
         client.MemoryAllocationFlags == entry.MemoryAllocationFlags &&
         Same(&client.ConfigCaps, &entry.ConfigCaps, sizeof entry.ConfigCaps) &&
         client.VideoInfoHeader.bmiHeader.biWidth == entry.VideoInfoHeader.bmiHeader.biWidth &&
         client.VideoInfoHeader.bmiHeader.biHeight == entry.VideoInfoHeader.bmiHeader.biHeight;
}

// The client's range, when it is a video range equal to an entry of the list.
const KS_DATARANGE_VIDEO* MatchingRange(ULONG streamNumber, const KSDATARANGE* range) {
  // Only a whole video range is read; anything shorter matches nothing.
  if (range == nullptr || range->FormatSize != sizeof(KS_DATARANGE_VIDEO)) return nullptr;
  const auto* client = reinterpret_cast<const KS_DATARANGE_VIDEO*>(range);
  ULONG count = 0;
  const KS_DATARANGE_VIDEO* const* list = StreamFormats(streamNumber, &count);
  for (ULONG i = 0; i < count; ++i) {
    if (RangeMatches(*client, *list[i])) return client;
  }
  return nullptr;
}

NTSTATUS Finish(HW_STREAM_REQUEST_BLOCK* srb, NTSTATUS status) {
  srb->Status = status;
  return status;
}

}  // namespace

NTSTATUS IntersectDataRange(HW_STREAM_REQUEST_BLOCK* srb) {
  auto* info = static_cast<STREAM_DATA_INTERSECT_INFO*>(srb->CommandData.IntersectInfo);
  const KS_DATARANGE_VIDEO* client = MatchingRange(info->StreamNumber, info->DataRange);
  if (client == nullptr) return Finish(srb, STATUS_NO_MATCH);
  // The result carries the client's bitmap header of biSize bytes; one that
  // is shorter than a bitmap header, or runs past the client's range, is not
  // a video range this driver can answer.
  const ULONG biSize = client->VideoInfoHeader.bmiHeader.biSize;
  if (biSize != sizeof(KS_BITMAPINFOHEADER)) return Finish(srb, STATUS_NO_MATCH);
  const ULONG size = kFormatPrefix + biSize;
  if (info->SizeOfDataFormatBuffer == 0) {
    srb->ActualBytesTransferred = size;
    return Finish(srb, STATUS_BUFFER_OVERFLOW);
  }
  if (info->SizeOfDataFormatBuffer < size) return Finish(srb, STATUS_BUFFER_TOO_SMALL);

  auto* format = static_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(info->DataFormatBuffer);
  RtlCopyMemory(&format->DataFormat, &client->DataRange, sizeof(KSDATAFORMAT));
  format->DataFormat.FormatSize = size;
  RtlCopyMemory(&format->VideoInfoHeader, &client->VideoInfoHeader,
                offsetof(KS_VIDEOINFOHEADER, bmiHeader) + biSize);
  KS_BITMAPINFOHEADER& bitmap = format->VideoInfoHeader.bmiHeader;
  const LONG height = bitmap.biHeight < 0 ? -bitmap.biHeight : bitmap.biHeight;
  // Rows padded to a multiple of 32 bits.
  const auto imageSize =
      static_cast<ULONG>(((bitmap.biWidth * bitmap.biBitCount + 31) / 32) * 4 * height);
  format->DataFormat.SampleSize = imageSize;
  bitmap.biSizeImage = imageSize;
  srb->ActualBytesTransferred = size;
  return Finish(srb, STATUS_SUCCESS);
}

bool VerifyDataFormat(const KSDATAFORMAT* format, ULONG streamNumber) {
  // A format too short to hold a bitmap header cannot be one of ours.
  if (format == nullptr || format->FormatSize < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) {
    return false;
  }
  const auto* video = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format);
  const KS_BITMAPINFOHEADER& bitmap = video->VideoInfoHeader.bmiHeader;
  ULONG count = 0;
  const KS_DATARANGE_VIDEO* const* list = StreamFormats(streamNumber, &count);
  for (ULONG i = 0; i < count; ++i) {
    const KS_DATARANGE_VIDEO& entry = *list[i];
    const KS_BITMAPINFOHEADER& listed = entry.VideoInfoHeader.bmiHeader;
    if (format->MajorFormat == entry.DataRange.MajorFormat &&
        format->SubFormat == entry.DataRange.SubFormat &&
        format->Specifier == entry.DataRange.Specifier && bitmap.biWidth == listed.biWidth &&
        bitmap.biHeight == listed.biHeight && bitmap.biSizeImage == listed.biSizeImage) {
      return true;
    }
  }
  return false;
}
