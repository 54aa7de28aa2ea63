// The format lists and the two negotiation rules: intersection of a client's
// range and verification of a format a client opens or proposes.
#include "properties/formats.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Listed {
  ULONG stream;
  ULONG index;
  ULONG compression;
  LONG width;
  LONG height;
  ULONG sampleSize;
  ULONG bitRate;
};

constexpr Listed kListed[] = {
    {0, 0, kFourccI420, 320, 240, 115200, 27648000},
    {0, 1, kFourccI420, 160, 120, 28800, 6912000},
    {0, 2, kFourccI420, 176, 144, 38016, 9123840},
    {0, 3, kFourccI420, 352, 288, 152064, 36495360},
    {0, 4, kFourccI420, 640, 480, 460800, 110592000},
    {0, 5, kCompressionRgb24, 320, 240, 230400, 55296000},
    {0, 9, kCompressionRgb24, 640, 480, 921600, 221184000},
    {1, 0, kFourccIyuv, 160, 120, 28800, 230400},
    {1, 1, kFourccIyuv, 176, 144, 38016, 304128},
    {1, 2, kFourccIyuv, 320, 240, 115200, 921600},
    {1, 3, kFourccI420, 160, 120, 28800, 230400},
    {1, 5, kFourccI420, 320, 240, 115200, 921600},
};

const KS_DATARANGE_VIDEO& Entry(ULONG stream, ULONG index) {
  ULONG count = 0;
  return *StreamFormats(stream, &count)[index];
}

struct Intersection {
  NTSTATUS status;
  ULONG reported;
  std::vector<std::uint8_t> format;
};

Intersection Intersect(ULONG stream, const KS_DATARANGE_VIDEO& range, ULONG bufferSize) {
  Intersection result{STATUS_PENDING, 0, std::vector<std::uint8_t>(bufferSize + 1, 0xAB)};
  STREAM_DATA_INTERSECT_INFO info{stream, const_cast<KSDATARANGE*>(&range.DataRange),
                                  bufferSize != 0 ? result.format.data() : nullptr, bufferSize};
  HW_STREAM_REQUEST_BLOCK srb{};
  srb.Command = SRB_GET_DATA_INTERSECTION;
  srb.CommandData.IntersectInfo = &info;
  result.status = IntersectDataRange(&srb);
  EXPECT_EQ(srb.Status, result.status);
  result.reported = srb.ActualBytesTransferred;
  return result;
}

TEST(Formats, TheListsHoldTheDescribedFormatsInOrder) {
  ULONG capture = 0, still = 0;
  StreamFormats(kCaptureStream, &capture);
  StreamFormats(kStillStream, &still);
  EXPECT_EQ(capture, 10u);
  EXPECT_EQ(still, 6u);
  ULONG none = 7;
  EXPECT_EQ(StreamFormats(2, &none), nullptr);
  EXPECT_EQ(none, 0u);
  for (const Listed& l : kListed) {
    SCOPED_TRACE(testing::Message() << "stream " << l.stream << " entry " << l.index);
    const KS_DATARANGE_VIDEO& e = Entry(l.stream, l.index);
    const KS_BITMAPINFOHEADER& b = e.VideoInfoHeader.bmiHeader;
    EXPECT_EQ(e.DataRange.FormatSize, 296u);
    EXPECT_EQ(e.DataRange.SampleSize, l.sampleSize);
    EXPECT_EQ(b.biSizeImage, l.sampleSize);
    EXPECT_EQ(b.biCompression, l.compression);
    EXPECT_EQ(b.biBitCount, l.compression == kCompressionRgb24 ? 24 : 12);
    EXPECT_EQ(b.biWidth, l.width);
    EXPECT_EQ(b.biHeight, l.height);
    EXPECT_EQ(e.VideoInfoHeader.dwBitRate, l.bitRate);
    EXPECT_EQ(e.ConfigCaps.MaxBitsPerSecond, static_cast<LONG>(l.bitRate));
    EXPECT_TRUE(
        e.DataRange.SubFormat ==
        (l.compression == kCompressionRgb24 ? MEDIASUBTYPE_RGB24 : FourccSubtype(l.compression)));
    EXPECT_EQ(e.StreamDescriptionFlags,
              l.stream == 0 ? KS_VIDEOSTREAM_CAPTURE : KS_VIDEOSTREAM_STILL);
    EXPECT_EQ(e.ConfigCaps.MinFrameInterval,
              l.stream == 0 ? kCaptureFrameInterval : kStillFrameInterval);
  }
  EXPECT_TRUE(*StreamTemplate(0)->Name == PINNAME_VIDEO_CAPTURE);
  EXPECT_TRUE(*StreamTemplate(1)->Name == PINNAME_VIDEO_STILL);
  EXPECT_EQ(StreamTemplate(2), nullptr);
}

TEST(Formats, EveryListedRangeIntersectsToItsOwnFormatAndVerifies) {
  for (ULONG stream : {kCaptureStream, kStillStream}) {
    ULONG count = 0;
    const KS_DATARANGE_VIDEO* const* list = StreamFormats(stream, &count);
    for (ULONG i = 0; i < count; ++i) {
      SCOPED_TRACE(testing::Message() << "stream " << stream << " entry " << i);
      Intersection r = Intersect(stream, *list[i], 152);
      ASSERT_EQ(r.status, STATUS_SUCCESS);
      EXPECT_EQ(r.reported, 152u);
      EXPECT_EQ(r.format[152], 0xAB);  // nothing written past the answer
      const auto* f = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(r.format.data());
      EXPECT_EQ(f->DataFormat.FormatSize, 152u);
      EXPECT_EQ(f->DataFormat.SampleSize, list[i]->DataRange.SampleSize);
      EXPECT_EQ(f->VideoInfoHeader.bmiHeader.biSizeImage, list[i]->DataRange.SampleSize);
      EXPECT_TRUE(VerifyDataFormat(&f->DataFormat, stream));
      // I420 at the three still sizes is in both lists (the interval is not compared).
      EXPECT_EQ(VerifyDataFormat(&f->DataFormat, 1 - stream),
                f->VideoInfoHeader.bmiHeader.biCompression == kFourccI420 &&
                    f->VideoInfoHeader.bmiHeader.biWidth != 352 &&
                    f->VideoInfoHeader.bmiHeader.biWidth != 640);
    }
  }
}

TEST(Formats, SizeQueriesAndShortBuffers) {
  const KS_DATARANGE_VIDEO& entry3 = Entry(0, 3);
  Intersection query = Intersect(0, entry3, 0);
  EXPECT_EQ(query.status, STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(query.reported, 152u);
  Intersection small = Intersect(0, entry3, 100);
  EXPECT_EQ(small.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(small.format[0], 0xAB);
  Intersection fits = Intersect(0, entry3, 152);
  EXPECT_EQ(fits.status, STATUS_SUCCESS);
  EXPECT_EQ(reinterpret_cast<const KSDATAFORMAT*>(fits.format.data())->SampleSize, 152064u);
}

TEST(Formats, RangesThatDifferFromEveryEntryMatchNothing) {
  struct Case {
    const char* what;
    ULONG stream;
    void (*change)(KS_DATARANGE_VIDEO&);
  };
  const Case cases[] = {
      {"another frame interval", 0, [](auto& r) { r.ConfigCaps.MinFrameInterval = 666666; }},
      {"a padding byte of the caps", 0, [](auto& r) { r.ConfigCaps.Padding = 1; }},
      {"IYUV on the capture stream", 0,
       [](auto& r) { r.DataRange.SubFormat = FourccSubtype(kFourccIyuv); }},
      {"a negative height", 0, [](auto& r) { r.VideoInfoHeader.bmiHeader.biHeight = -240; }},
      {"a shorter range", 0, [](auto& r) { r.DataRange.FormatSize = 200; }},
      {"a bitmap header longer than the range", 0,
       [](auto& r) { r.VideoInfoHeader.bmiHeader.biSize = 4000; }},
      {"a bitmap header shorter than one", 0,
       [](auto& r) { r.VideoInfoHeader.bmiHeader.biSize = 8; }},
      {"a stream without formats", 2, [](auto&) {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    KS_DATARANGE_VIDEO range = Entry(0, 0);
    c.change(range);
    Intersection r = Intersect(c.stream, range, 400);
    EXPECT_EQ(r.status, STATUS_NO_MATCH);
    EXPECT_EQ(r.format[0], 0xAB);
  }
  // Fields outside the compared set may differ: the answer keeps them.
  KS_DATARANGE_VIDEO range = Entry(0, 0);
  range.VideoInfoHeader.AvgTimePerFrame = 666666;
  range.DataRange.SampleSize = 1;
  Intersection r = Intersect(0, range, 152);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  const auto* f = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(r.format.data());
  EXPECT_EQ(f->VideoInfoHeader.AvgTimePerFrame, 666666);
  EXPECT_EQ(f->DataFormat.SampleSize, 115200u);
}

TEST(Formats, VerificationComparesTypeSizeAndImageSizeOnly) {
  KS_DATAFORMAT_VIDEOINFOHEADER format{};
  const KS_DATARANGE_VIDEO& entry = Entry(0, 0);
  format.DataFormat = entry.DataRange;
  format.DataFormat.FormatSize = sizeof format;
  format.VideoInfoHeader = entry.VideoInfoHeader;
  format.VideoInfoHeader.AvgTimePerFrame = 1;  // not compared
  format.VideoInfoHeader.bmiHeader.biBitCount = 99;
  EXPECT_TRUE(VerifyDataFormat(&format.DataFormat, 0));
  EXPECT_TRUE(VerifyDataFormat(&format.DataFormat, 1));  // I420 320x240 is a still format too
  format.DataFormat.SubFormat = FourccSubtype(kFourccIyuv);
  EXPECT_FALSE(VerifyDataFormat(&format.DataFormat, 0));
  EXPECT_TRUE(VerifyDataFormat(&format.DataFormat, 1));
  format.DataFormat.SubFormat = entry.DataRange.SubFormat;
  format.VideoInfoHeader.bmiHeader.biSizeImage = 0;
  EXPECT_FALSE(VerifyDataFormat(&format.DataFormat, 0));
  format.VideoInfoHeader.bmiHeader.biSizeImage = 115200;
  format.DataFormat.FormatSize = 100;  // too short to hold a bitmap header
  EXPECT_FALSE(VerifyDataFormat(&format.DataFormat, 0));
  format.DataFormat.FormatSize = sizeof format;
  EXPECT_FALSE(VerifyDataFormat(&format.DataFormat, 2));
  EXPECT_FALSE(VerifyDataFormat(nullptr, 0));
}

}  // namespace
