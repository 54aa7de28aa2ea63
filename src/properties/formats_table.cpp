// The two stream records and their format lists. Every descriptor is made by
// one rule from FOURCC, width, height and frame interval.
#include "properties/formats.h"

namespace {

struct Size {
  LONG width;
  LONG height;
};

// The capture sizes in the order the capture list offers them.
constexpr Size kCaptureSizes[] = {{320, 240}, {160, 120}, {176, 144}, {352, 288}, {640, 480}};
constexpr Size kStillSizes[] = {{160, 120}, {176, 144}, {320, 240}};

KS_DATARANGE_VIDEO Capture(ULONG compression, Size size) {
  return MakeVideoRange(compression, size.width, size.height, kCaptureFrameInterval,
                        KS_VIDEOSTREAM_CAPTURE);
}

KS_DATARANGE_VIDEO Still(ULONG compression, Size size) {
  return MakeVideoRange(compression, size.width, size.height, kStillFrameInterval,
                        KS_VIDEOSTREAM_STILL);
}

// Indices 0 to 4 are the I420 sizes; the RGB24 entries follow them so that
// the pipeline's packed output can be asked for without moving the others.
const KS_DATARANGE_VIDEO kCaptureRanges[] = {
    Capture(kFourccI420, kCaptureSizes[0]),       Capture(kFourccI420, kCaptureSizes[1]),
    Capture(kFourccI420, kCaptureSizes[2]),       Capture(kFourccI420, kCaptureSizes[3]),
    Capture(kFourccI420, kCaptureSizes[4]),       Capture(kCompressionRgb24, kCaptureSizes[0]),
    Capture(kCompressionRgb24, kCaptureSizes[1]), Capture(kCompressionRgb24, kCaptureSizes[2]),
    Capture(kCompressionRgb24, kCaptureSizes[3]), Capture(kCompressionRgb24, kCaptureSizes[4]),
};

const KS_DATARANGE_VIDEO kStillRanges[] = {
    Still(kFourccIyuv, kStillSizes[0]), Still(kFourccIyuv, kStillSizes[1]),
    Still(kFourccIyuv, kStillSizes[2]), Still(kFourccI420, kStillSizes[0]),
    Still(kFourccI420, kStillSizes[1]), Still(kFourccI420, kStillSizes[2]),
};

constexpr ULONG kCaptureCount = sizeof kCaptureRanges / sizeof kCaptureRanges[0];
constexpr ULONG kStillCount = sizeof kStillRanges / sizeof kStillRanges[0];

const KS_DATARANGE_VIDEO* const kCaptureList[kCaptureCount] = {
    &kCaptureRanges[0], &kCaptureRanges[1], &kCaptureRanges[2], &kCaptureRanges[3],
    &kCaptureRanges[4], &kCaptureRanges[5], &kCaptureRanges[6], &kCaptureRanges[7],
    &kCaptureRanges[8], &kCaptureRanges[9]};
const KS_DATARANGE_VIDEO* const kStillList[kStillCount] = {&kStillRanges[0], &kStillRanges[1],
                                                           &kStillRanges[2], &kStillRanges[3],
                                                           &kStillRanges[4], &kStillRanges[5]};

// The same lists as the port reads them: pointers to the data ranges.
const KSDATAFORMAT* const kCaptureFormats[kCaptureCount] = {
    &kCaptureRanges[0].DataRange, &kCaptureRanges[1].DataRange, &kCaptureRanges[2].DataRange,
    &kCaptureRanges[3].DataRange, &kCaptureRanges[4].DataRange, &kCaptureRanges[5].DataRange,
    &kCaptureRanges[6].DataRange, &kCaptureRanges[7].DataRange, &kCaptureRanges[8].DataRange,
    &kCaptureRanges[9].DataRange};
const KSDATAFORMAT* const kStillFormats[kStillCount] = {
    &kStillRanges[0].DataRange, &kStillRanges[1].DataRange, &kStillRanges[2].DataRange,
    &kStillRanges[3].DataRange, &kStillRanges[4].DataRange, &kStillRanges[5].DataRange};

const KSPIN_MEDIUM kStandardMedium = {KSMEDIUMSETID_Standard, 0, 0};

// Property sets are the class layer's to announce: it fills them in.
HW_STREAM_INFORMATION MakeStreamRecord(const GUID* name, ULONG formats,
                                       const KSDATAFORMAT* const* list) {
  HW_STREAM_INFORMATION info{};
  info.NumberOfPossibleInstances = 1;
  info.DataFlow = KSPIN_DATAFLOW_OUT;
  info.DataAccessible = TRUE;
  info.NumberOfFormatArrayEntries = formats;
  info.StreamFormatsArray = list;
  info.Category = name;
  info.Name = name;
  info.MediumsCount = 0;
  info.Mediums = &kStandardMedium;
  info.BridgeStream = FALSE;
  return info;
}

const HW_STREAM_INFORMATION kStreamRecords[kFormatStreamCount] = {
    MakeStreamRecord(&PINNAME_VIDEO_CAPTURE, kCaptureCount, kCaptureFormats),
    MakeStreamRecord(&PINNAME_VIDEO_STILL, kStillCount, kStillFormats)};

}  // namespace

KS_DATARANGE_VIDEO MakeVideoRange(ULONG compression, LONG width, LONG height,
                                  LONGLONG frameInterval, ULONG streamDescriptionFlags) {
  const bool rgb24 = compression == kCompressionRgb24;
  const auto bitCount = static_cast<USHORT>(rgb24 ? 24 : 12);
  const auto imageSize = static_cast<ULONG>(width * height * bitCount / 8);
  const auto bitRate = static_cast<ULONG>(imageSize * 8 * (10'000'000 / frameInterval));

  KS_DATARANGE_VIDEO r{};
  r.DataRange.FormatSize = sizeof(KS_DATARANGE_VIDEO);
  r.DataRange.SampleSize = imageSize;
  r.DataRange.MajorFormat = KSDATAFORMAT_TYPE_VIDEO;
  r.DataRange.SubFormat = rgb24 ? MEDIASUBTYPE_RGB24 : FourccSubtype(compression);
  r.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
  r.bFixedSizeSamples = 1;
  r.bTemporalCompression = 1;
  r.StreamDescriptionFlags = streamDescriptionFlags;

  KS_VIDEO_STREAM_CONFIG_CAPS& caps = r.ConfigCaps;
  caps.guid = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
  caps.InputSize = caps.MinCroppingSize = caps.MaxCroppingSize = {width, height};
  caps.MinOutputSize = caps.MaxOutputSize = {width, height};
  caps.CropGranularityX = caps.CropGranularityY = caps.CropAlignX = caps.CropAlignY = 1;
  caps.OutputGranularityX = caps.OutputGranularityY = 1;
  caps.MinFrameInterval = caps.MaxFrameInterval = frameInterval;
  caps.MinBitsPerSecond = caps.MaxBitsPerSecond = static_cast<LONG>(bitRate);

  KS_VIDEOINFOHEADER& info = r.VideoInfoHeader;
  info.dwBitRate = bitRate;
  info.AvgTimePerFrame = frameInterval;
  info.bmiHeader.biSize = sizeof(KS_BITMAPINFOHEADER);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = bitCount;
  info.bmiHeader.biCompression = compression;
  info.bmiHeader.biSizeImage = imageSize;
  return r;
}

const HW_STREAM_INFORMATION* StreamTemplate(ULONG streamNumber) {
  return streamNumber < kFormatStreamCount ? &kStreamRecords[streamNumber] : nullptr;
}

const KS_DATARANGE_VIDEO* const* StreamFormats(ULONG streamNumber, ULONG* count) {
  switch (streamNumber) {
    case kCaptureStream:
      *count = kCaptureCount;
      return kCaptureList;
    case kStillStream:
      *count = kStillCount;
      return kStillList;
    default:
      *count = 0;
      return nullptr;
  }
}
