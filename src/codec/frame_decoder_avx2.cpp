// The planar frame loop for processors with AVX2: each block's rows go straight
// from the transform into the planes, with no per-macroblock sample buffer.
#include <immintrin.h>

#include "codec/frame_decoder.h"

namespace veltocam::codec {
namespace {

// Where one block of a macroblock goes: plane, rows below the macroblock's top,
// columns right of its left edge (in that plane's samples).
struct BlockPlace {
  int plane;  // 0 Y, 1 Cb, 2 Cr
  int row;
  int column;
};
constexpr BlockPlace kPlaces420[] = {{0, 0, 0}, {0, 0, 8}, {0, 8, 0},
                                     {0, 8, 8}, {1, 0, 0}, {2, 0, 0}};
constexpr BlockPlace kPlaces422[] = {{0, 0, 0}, {0, 0, 8}, {1, 0, 0}, {2, 0, 0}};

__attribute__((target("avx2"))) void FillRows(std::uint8_t value, std::uint8_t* first_row,
                                              std::ptrdiff_t step) {
  const __m128i samples = _mm_set1_epi8(static_cast<char>(value));
  for (int r = 0; r < 8; ++r) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(first_row + r * step), samples);
  }
}

// One block to `rows` rows from first_row on, `step` bytes apart (8 but at the
// bottom of a picture whose height is not a whole number of macroblocks); the
// coefficients are left zero.
__attribute__((target("avx2"))) void StoreBlock(std::int32_t* block, bool has_ac,
                                                std::uint8_t* first_row, std::ptrdiff_t step,
                                                int rows) {
  if (rows == 8 && first_row != nullptr) {
    if (has_ac) {
      InverseDctAvx2ToRows(block, first_row, step);
    } else {
      FillRows(DcOnlySample(block[0]), first_row, step);
      block[0] = 0;
    }
    return;
  }
  alignas(32) std::uint8_t samples[64];
  InverseDctAvx2(block, samples);
  if (first_row == nullptr) return;  // no row of the block lies in the picture
  for (int r = 0; r < rows; ++r) std::memcpy(first_row + r * step, samples + r * 8, 8);
}

// Where each block of the macroblocks of one row goes.
struct RowTargets {
  std::uint8_t* first_row[kMaxBlocksPerMacroblock];  // at x = 0; null with no rows
  std::ptrdiff_t step[kMaxBlocksPerMacroblock];
  int rows[kMaxBlocksPerMacroblock];
  int column_shift[kMaxBlocksPerMacroblock];  // 0 for luma, 1 for chroma

  RowTargets(const PlanarPlanes& planes, Sampling sampling, int y, int height) {
    const BlockPlace* places = sampling == Sampling::k420 ? kPlaces420 : kPlaces422;
    const PlaneRows* plane_rows[3] = {&planes.luma, &planes.cb, &planes.cr};
    const int chroma_y = y / planes.chroma_per_luma_row;
    const int top[3] = {y, chroma_y, chroma_y};
    const int plane_height[3] = {height, planes.chroma_height, planes.chroma_height};
    for (int b = 0; b < ShapeOf(sampling).blocks; ++b) {
      const BlockPlace& place = places[b];
      const PlaneRows& plane = *plane_rows[place.plane];
      const int row = top[place.plane] + place.row;
      rows[b] = std::clamp(plane_height[place.plane] - row, 0, 8);
      first_row[b] = rows[b] > 0 ? plane.Row(row) + place.column : nullptr;
      step[b] = plane.step();
      column_shift[b] = place.plane == 0 ? 0 : 1;
    }
  }
};

}  // namespace

__attribute__((target("avx2"))) std::uint32_t DecodePlanarAvx2(const FrameSource& source,
                                                               Sampling sampling,
                                                               std::uint8_t* output, bool flip) {
  const MacroblockShape& shape = ShapeOf(sampling);
  PlanarPlanes planes(output, source.width, source.height, sampling, flip);
  MacroblockDecoder decoder(source.data, source.length, *source.pair, sampling);
  alignas(32) CoefficientBlock blocks[kMaxBlocksPerMacroblock] = {};
  for (int y = 0; y < source.height; y += shape.height) {
    const RowTargets targets(planes, sampling, y, source.height);
    for (int x = 0; x < source.width; x += 16) {
      bool has_ac[kMaxBlocksPerMacroblock];
      if (!decoder.Decode(blocks, has_ac)) return CODEC_ERR_STREAM;
      for (int b = 0; b < shape.blocks; ++b) {
        std::uint8_t* first_row = targets.first_row[b];
        if (first_row != nullptr) first_row += x >> targets.column_shift[b];
        StoreBlock(blocks[b], has_ac[b], first_row, targets.step[b], targets.rows[b]);
      }
    }
  }
  return CODEC_OK;
}

}  // namespace veltocam::codec
