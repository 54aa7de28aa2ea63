// The frame loop shared by the four decoders: entropy-decode each macroblock,
// transform its blocks, hand the samples to a writer that knows the output form.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "codec/decoder.h"
#include "codec/idct.h"
#include "codec/macroblock_decoder.h"

namespace veltocam::codec {

// The arguments of DecodeCompressedFrame, by name.
struct FrameArguments {
  std::int32_t compressed_length;
  const std::uint8_t* compressed_data;
  std::int32_t width;
  std::int32_t height;
  std::int32_t qtable_index;
  std::uint32_t sampling_type;
  std::uint32_t planar_output;
  std::uint32_t use_stride;
  std::int32_t stride;
  std::uint32_t bgr_order;
  std::uint32_t flip_vertical;
  std::uint8_t* output_buffer;
  std::uint32_t enlarge;
  std::uint8_t* enlarge_buffer;
};

// DecodeCompressedFrame with a chosen inverse DCT, so tests can hold every form
// to the reference.
std::uint32_t DecodeFrameWith(const FrameArguments& arguments, InverseDctFunction idct);

struct FrameSource {
  const std::uint8_t* data;
  std::int32_t length;
  std::int32_t width;
  std::int32_t height;
  const QuantPair* pair;
};

// Where each row of a plane goes: top-down, or bottom-up when flipped.
class PlaneRows {
 public:
  PlaneRows(std::uint8_t* base, std::ptrdiff_t row_bytes, std::ptrdiff_t rows, bool flip)
      : first_(flip ? base + (rows - 1) * row_bytes : base), step_(flip ? -row_bytes : row_bytes) {}
  std::uint8_t* Row(std::ptrdiff_t row) const { return first_ + row * step_; }
  std::ptrdiff_t step() const { return step_; }

 private:
  std::uint8_t* first_;
  std::ptrdiff_t step_;
};

// The three planes of a planar image of either sampling.
struct PlanarPlanes {
  PlanarPlanes(std::uint8_t* buffer, std::int32_t width, std::int32_t height, Sampling sampling,
               bool flip)
      : chroma_per_luma_row(sampling == Sampling::k420 ? 2 : 1),
        chroma_height(height / chroma_per_luma_row),
        luma(buffer, width, height, flip),
        cb(buffer + std::ptrdiff_t{width} * height, width / 2, chroma_height, flip),
        cr(buffer + std::ptrdiff_t{width} * height + std::ptrdiff_t{width / 2} * chroma_height,
           width / 2, chroma_height, flip) {}

  int chroma_per_luma_row;
  int chroma_height;
  PlaneRows luma;
  PlaneRows cb;
  PlaneRows cr;
};

using MacroblockSamples = std::uint8_t[kMaxBlocksPerMacroblock][64];

// Decodes every macroblock (the last row in full even where it hangs below the
// image, to keep the stream in step); the writer stores the `rows` that lie
// inside the image.
template <class Writer>
std::uint32_t DecodeFrame(const FrameSource& source, Sampling sampling, Writer& writer,
                          InverseDctFunction idct) {
  const MacroblockShape& shape = ShapeOf(sampling);
  MacroblockDecoder decoder(source.data, source.length, *source.pair, sampling);
  alignas(32) CoefficientBlock blocks[kMaxBlocksPerMacroblock] = {};
  alignas(32) MacroblockSamples samples;
  for (int y = 0; y < source.height; y += shape.height) {
    const int rows = std::min(shape.height, source.height - y);
    for (int x = 0; x < source.width; x += 16) {
      bool has_ac[kMaxBlocksPerMacroblock];
      if (!decoder.Decode(blocks, has_ac)) return CODEC_ERR_STREAM;
      for (int b = 0; b < shape.blocks; ++b) {
        if (has_ac[b]) {
          idct(blocks[b], samples[b]);
        } else {
          std::memset(samples[b], DcOnlySample(blocks[b][0]), 64);
          blocks[b][0] = 0;
        }
      }
      writer.Write(x, y, rows, samples);
    }
  }
  return CODEC_OK;
}

// Planar output of either sampling. With the AVX2 transform the frame takes a
// loop of its own (DecodePlanarAvx2).
std::uint32_t DecodePlanar(const FrameSource& source, Sampling sampling, std::uint8_t* output,
                           bool flip, InverseDctFunction idct);

// Planar output through the AVX2 transform, which stores each block's rows
// straight into the planes. Same samples and status as DecodePlanar with any
// other transform; only for processors with AVX2.
std::uint32_t DecodePlanarAvx2(const FrameSource& source, Sampling sampling, std::uint8_t* output,
                               bool flip);

struct PackedLayout {
  std::uint8_t* buffer;
  std::ptrdiff_t stride;
  bool four_byte_pixels;  // a 0 byte before each pixel's colour
  bool bgr;
  bool flip;
};

// Packed colour output of either sampling.
std::uint32_t DecodePacked(const FrameSource& source, Sampling sampling, const PackedLayout& layout,
                           InverseDctFunction idct);

}  // namespace veltocam::codec
