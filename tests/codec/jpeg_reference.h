// libjpeg-turbo as an independent reference: baseline 4:2:0 JPEG with the
// standard Huffman tables and a chosen quantisation pair, its entropy data
// turned into the camera's format, its coefficients, and its own ISLOW decode.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "codec/quant_tables.h"
#include "sim/encoder/encoder.h"

struct jpeg_decompress_struct;

namespace veltocam::codec::testing {

// Baseline JPEG of a 4:2:0 planar image: Y 2x2, Cb and Cr 1x1, no restart
// markers. Rows past the image repeat its last row.
std::vector<std::uint8_t> EncodeJpeg420(const sim::PlanarImage& image, const QuantPair& pair);

// The entropy-coded segment without headers and with the 0x00 after each 0xFF
// removed: exactly the camera's format.
std::vector<std::uint8_t> StripToCameraFormat(const std::vector<std::uint8_t>& jpeg);

// Coefficients of every block of every component times the quantisation table,
// in natural order; blocks row by row, rows padded to whole macroblocks.
struct JpegCoefficients {
  std::array<std::vector<std::array<std::int32_t, 64>>, 3> blocks;
  std::array<int, 3> blocks_per_row;
};
JpegCoefficients ReadDequantisedCoefficients(const std::vector<std::uint8_t>& jpeg);

// libjpeg-turbo's own decode to planar 4:2:0: ISLOW, raw output, no fancy
// upsampling. Keeps its decompressor and buffers between frames.
class JpegRawDecoder {
 public:
  JpegRawDecoder();
  ~JpegRawDecoder();
  JpegRawDecoder(const JpegRawDecoder&) = delete;
  JpegRawDecoder& operator=(const JpegRawDecoder&) = delete;

  // Decodes into `image`, which must already have the JPEG's size and 4:2:0.
  void Decode(const std::vector<std::uint8_t>& jpeg, sim::PlanarImage& image);

 private:
  struct Context;
  Context* context_;
};

}  // namespace veltocam::codec::testing
