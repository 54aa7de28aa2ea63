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

// One block to rows `row` .. `row` + 7 of a plane, of which only `rows` lie in
// the image; the coefficients are left zero.
__attribute__((target("avx2"))) void StoreBlock(std::int32_t* block, bool has_ac,
                                                const PlaneRows& plane, int row, int column,
                                                int rows) {
  if (rows == 8) {
    std::uint8_t* first_row = plane.Row(row) + column;
    if (has_ac) {
      InverseDctAvx2ToRows(block, first_row, plane.step());
    } else {
      FillRows(DcOnlySample(block[0]), first_row, plane.step());
      block[0] = 0;
    }
    return;
  }
  // The bottom of a picture whose height is not a whole number of macroblocks.
  alignas(32) std::uint8_t samples[64];
  InverseDctAvx2(block, samples);
  for (int r = 0; r < rows; ++r) std::memcpy(plane.Row(row + r) + column, samples + r * 8, 8);
}

}  // namespace

__attribute__((target("avx2"))) std::uint32_t DecodePlanarAvx2(const FrameSource& source,
                                                               Sampling sampling,
                                                               std::uint8_t* output, bool flip) {
  const MacroblockShape& shape = ShapeOf(sampling);
  const BlockPlace* places = sampling == Sampling::k420 ? kPlaces420 : kPlaces422;
  PlanarPlanes planes(output, source.width, source.height, sampling, flip);
  const PlaneRows* plane_rows[3] = {&planes.luma, &planes.cb, &planes.cr};
  MacroblockDecoder decoder(source.data, source.length, *source.pair, sampling);
  alignas(32) CoefficientBlock blocks[kMaxBlocksPerMacroblock] = {};
  for (int y = 0; y < source.height; y += shape.height) {
    // Rows of each plane that this macroblock row starts at, and has.
    const int chroma_y = y / planes.chroma_per_luma_row;
    const int top[3] = {y, chroma_y, chroma_y};
    const int height[3] = {source.height, planes.chroma_height, planes.chroma_height};
    for (int x = 0; x < source.width; x += 16) {
      bool has_ac[kMaxBlocksPerMacroblock];
      if (!decoder.Decode(blocks, has_ac)) return CODEC_ERR_STREAM;
      for (int b = 0; b < shape.blocks; ++b) {
        const BlockPlace& place = places[b];
        const int row = top[place.plane] + place.row;
        const int rows = std::clamp(height[place.plane] - row, 0, 8);
        const int column = (place.plane == 0 ? x : x / 2) + place.column;
        StoreBlock(blocks[b], has_ac[b], *plane_rows[place.plane], row, column, rows);
      }
    }
  }
  return CODEC_OK;
}

}  // namespace veltocam::codec
