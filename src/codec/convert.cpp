// Planar YUV to packed colour in 10-bit fixed point, each pixel coloured by the
// chroma pair its 2x2 group (4:2:0) or horizontal pair (4:2:2) shares.
#include <algorithm>
#include <cstddef>

#include "codec/decoder.h"
#include "codec/runtime_tables.h"

namespace veltocam::codec {
namespace {

struct PackedTarget {
  std::uint8_t* buffer;
  std::ptrdiff_t stride;
  int pixel_bytes;
  int red, green, blue;  // byte of each colour within a pixel
};

std::uint32_t ConvertToPacked(const std::uint8_t* source, std::int32_t width, std::int32_t height,
                              int luma_rows_per_chroma_row, const PackedTarget& target,
                              bool signed_samples, std::uint8_t level_factor,
                              const std::uint8_t* level_table) {
  const std::ptrdiff_t w = width, h = height;
  const std::ptrdiff_t chroma_width = w / 2, chroma_height = h / luma_rows_per_chroma_row;
  if (w <= 0 || h <= 0 || chroma_width == 0 || chroma_height == 0) return CODEC_OK;
  const DecoderTables& t = GetDecoderTables();
  const std::uint8_t* level = level_table != nullptr ? level_table : t.level.data();
  const std::uint8_t* cb_plane = source + w * h;
  const std::uint8_t* cr_plane = cb_plane + (luma_rows_per_chroma_row == 2 ? w * h / 4 : w * h / 2);
  // Chroma bytes index the signed tables as two's complement numbers.
  const int chroma_bias = signed_samples ? 0 : 128;
  const int luma_flip = signed_samples ? 0x80 : 0;
  for (std::ptrdiff_t r = 0; r < h; ++r) {
    // An odd last row or column reuses the last chroma sample rather than
    // reading past the plane.
    const std::ptrdiff_t chroma_row = std::min(r / luma_rows_per_chroma_row, chroma_height - 1);
    const std::uint8_t* luma = source + r * w;
    const std::uint8_t* cb = cb_plane + chroma_row * chroma_width;
    const std::uint8_t* cr = cr_plane + chroma_row * chroma_width;
    std::uint8_t* pixel = target.buffer + r * target.stride;
    for (std::ptrdiff_t c = 0; c < w; ++c, pixel += target.pixel_bytes) {
      int y = luma[c] ^ luma_flip;
      if (level_factor != 10) y = level[y];
      const std::ptrdiff_t chroma_column = std::min(c / 2, chroma_width - 1);
      const auto blue_difference = static_cast<std::uint8_t>(cb[chroma_column] - chroma_bias);
      const auto red_difference = static_cast<std::uint8_t>(cr[chroma_column] - chroma_bias);
      const auto& s = t.signed_chroma;
      pixel[target.red] = LimitSample(t, (1024 * y + s[kCrToRed1436][red_difference]) >> 10);
      pixel[target.green] = LimitSample(
          t,
          (1024 * y - s[kCrToGreen731][red_difference] - s[kCbToGreen352][blue_difference]) >> 10);
      pixel[target.blue] = LimitSample(t, (1024 * y + s[kCbToBlue1815][blue_difference]) >> 10);
    }
  }
  return CODEC_OK;
}

PackedTarget Target(std::uint8_t* destination, std::int32_t stride, std::uint32_t four_byte,
                    std::uint32_t bgr) {
  const int skip = four_byte ? 1 : 0;  // the first byte of a 4-byte pixel is left alone
  return PackedTarget{destination,          stride,   3 + skip,
                      skip + (bgr ? 2 : 0), skip + 1, skip + (bgr ? 0 : 2)};
}

}  // namespace
}  // namespace veltocam::codec

std::uint32_t Convert420ToPacked(const std::uint8_t* Source, std::int32_t Width,
                                 std::int32_t Height, std::uint8_t* Destination,
                                 std::int32_t Stride, std::uint32_t SignedSamples,
                                 std::uint8_t LevelFactor, const std::uint8_t* LevelTable,
                                 std::uint32_t FourBytePixels, std::uint32_t BgrOrder) {
  using namespace veltocam::codec;
  return ConvertToPacked(Source, Width, Height, 2,
                         Target(Destination, Stride, FourBytePixels, BgrOrder), SignedSamples != 0,
                         LevelFactor, LevelTable);
}

std::uint32_t Convert422ToPacked(const std::uint8_t* Source, std::int32_t Width,
                                 std::int32_t Height, std::uint8_t* Destination,
                                 std::int32_t Stride, std::uint32_t SignedSamples,
                                 std::uint8_t LevelFactor, const std::uint8_t* LevelTable,
                                 std::uint32_t FourBytePixels, std::uint32_t BgrOrder) {
  using namespace veltocam::codec;
  return ConvertToPacked(Source, Width, Height, 1,
                         Target(Destination, Stride, FourBytePixels, BgrOrder), SignedSamples != 0,
                         LevelFactor, LevelTable);
}
