// 5/4 enlargement: every 4x4 block of a plane becomes a 5x5 block, rows first,
// then columns, each by the same 4-to-5 sharpening kernel.
#include <cstddef>

#include "codec/decoder.h"
#include "codec/runtime_tables.h"

namespace veltocam::codec {
namespace {

// Five samples at positions 0, 0.75, 1.5, 2.25 and 3 of four.
void FourToFive(const DecoderTables& t, int a, int b, int c, int d, std::uint8_t* out) {
  const auto& w = t.weight;
  const int o1 =
      LimitSample(t, ((w[kWeight178][b] + w[kWeight77][a]) >> 8) + ((2 * b - c - a) >> 3));
  const int o2 = LimitSample(t, ((b + c) >> 1) + ((b + c - a - d) >> 3));
  const int o3 =
      LimitSample(t, ((w[kWeight178][c] + w[kWeight77][d]) >> 8) + ((2 * c - d - b) >> 3));
  out[0] = LimitSample(t, (w[kWeight292][a] - w[kWeight37][o1]) >> 8);
  out[1] = static_cast<std::uint8_t>(o1);
  out[2] = static_cast<std::uint8_t>(o2);
  out[3] = static_cast<std::uint8_t>(o3);
  out[4] = LimitSample(t, (w[kWeight292][d] - w[kWeight37][o3]) >> 8);
}

// Enlarges the whole 4x4 blocks of a source plane; the destination rows are
// `destination_width` apart and hold at least 5/4 of the source.
void EnlargePlane(const DecoderTables& t, const std::uint8_t* source, std::ptrdiff_t width,
                  std::ptrdiff_t height, std::uint8_t* destination,
                  std::ptrdiff_t destination_width) {
  for (std::ptrdiff_t by = height / 4 - 1; by >= 0; --by) {
    for (std::ptrdiff_t bx = width / 4 - 1; bx >= 0; --bx) {
      std::uint8_t across[4][5];
      for (int r = 0; r < 4; ++r) {
        const std::uint8_t* s = source + (by * 4 + r) * width + bx * 4;
        FourToFive(t, s[0], s[1], s[2], s[3], across[r]);
      }
      std::uint8_t* out = destination + by * 5 * destination_width + bx * 5;
      for (int column = 0; column < 5; ++column) {
        std::uint8_t down[5];
        FourToFive(t, across[0][column], across[1][column], across[2][column], across[3][column],
                   down);
        for (int r = 0; r < 5; ++r) out[r * destination_width + column] = down[r];
      }
    }
  }
}

// 4:2:0 chroma planes have one row per two luma rows, 4:2:2 one per row.
std::uint32_t EnlargePlanar(const std::uint8_t* source, std::uint8_t* destination,
                            std::int32_t enlarged_width, std::int32_t enlarged_height,
                            int luma_rows_per_chroma_row) {
  if (enlarged_width <= 0 || enlarged_height <= 0) return CODEC_OK;
  const DecoderTables& t = GetDecoderTables();
  const std::ptrdiff_t dw = enlarged_width, dh = enlarged_height;
  const std::ptrdiff_t sw = 4 * dw / 5, sh = 4 * dh / 5;
  EnlargePlane(t, source, sw, sh, destination, dw);
  for (int plane = 0; plane < 2; ++plane) {
    // Plane offsets as the layout defines them (w * h, then w * h * 5/4 or 3/2).
    const std::ptrdiff_t source_offset =
        sw * sh + plane * (luma_rows_per_chroma_row == 2 ? sw * sh / 4 : sw * sh / 2);
    const std::ptrdiff_t destination_offset =
        dw * dh + plane * (luma_rows_per_chroma_row == 2 ? dw * dh / 4 : dw * dh / 2);
    EnlargePlane(t, source + source_offset, sw / 2, sh / luma_rows_per_chroma_row,
                 destination + destination_offset, dw / 2);
  }
  return CODEC_OK;
}

}  // namespace
}  // namespace veltocam::codec

std::uint32_t Enlarge420Planar(const std::uint8_t* Source, std::uint8_t* Destination,
                               std::int32_t EnlargedWidth, std::int32_t EnlargedHeight) {
  return veltocam::codec::EnlargePlanar(Source, Destination, EnlargedWidth, EnlargedHeight, 2);
}

std::uint32_t Enlarge422Planar(const std::uint8_t* Source, std::uint8_t* Destination,
                               std::int32_t EnlargedWidth, std::int32_t EnlargedHeight) {
  return veltocam::codec::EnlargePlanar(Source, Destination, EnlargedWidth, EnlargedHeight, 1);
}
