// An encoder of the camera's compressed format, as the camera's firmware would
// produce it: forward DCT, quantisation with one of the codec's pairs, Annex K
// Huffman coding of 4:2:0 or 4:2:2 macroblocks, no byte stuffing, no markers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "codec/macroblock_decoder.h"
#include "codec/quant_tables.h"

namespace veltocam::sim {

using codec::Sampling;

// Bits most significant first; the last byte is padded with 1 bits.
class BitWriter {
 public:
  void Put(std::uint32_t bits, int count);
  std::size_t bit_count() const { return bit_count_; }
  std::vector<std::uint8_t> Finish();

 private:
  std::vector<std::uint8_t> bytes_;
  std::uint32_t pending_ = 0;
  int pending_bits_ = 0;
  std::size_t bit_count_ = 0;
};

// Components of a block: 0 Y, 1 Cb, 2 Cr.
enum Component { kY = 0, kCb = 1, kCr = 2 };

// Huffman-codes blocks of quantised coefficients, keeping the DC predictors.
// The Put* primitives write single symbols, for streams a test wants to shape
// (invalid ones included).
class BlockCoder {
 public:
  explicit BlockCoder(BitWriter& writer) : writer_(writer) {}

  // Quantised coefficients in natural order.
  void CodeBlock(Component component, const std::array<std::int16_t, 64>& quantised);

  void PutDcDifference(Component component, int difference);
  void PutAc(Component component, int run, int value);  // value != 0, |value| < 1024
  void PutEndOfBlock(Component component);
  void PutZeroRun(Component component);  // sixteen zeros

 private:
  void PutSymbol(Component component, bool dc, int symbol);
  void PutValue(int value, int size);

  BitWriter& writer_;
  std::int32_t predictor_[3] = {0, 0, 0};
};

// Forward DCT of 64 samples (rows of 8) and quantisation by `table`.
std::array<std::int16_t, 64> TransformAndQuantise(const std::uint8_t* samples,
                                                  const codec::QuantTable& table);

// A planar image: Y, then Cb, then Cr; chroma planes of width/2 by height/2
// (4:2:0) or width/2 by height (4:2:2).
struct PlanarImage {
  int width = 0;
  int height = 0;
  Sampling sampling = Sampling::k420;
  std::vector<std::uint8_t> pixels;

  PlanarImage() = default;
  PlanarImage(int width, int height, Sampling sampling);
  int chroma_width() const { return width / 2; }
  int chroma_height() const { return sampling == Sampling::k420 ? height / 2 : height; }
  std::uint8_t* plane(int component);
  const std::uint8_t* plane(int component) const;
  int plane_width(int component) const { return component == 0 ? width : chroma_width(); }
  int plane_height(int component) const { return component == 0 ? height : chroma_height(); }
};

// Encodes a frame (width a multiple of 16, height of 8) with the quantisation
// pair of `qtable_index`. Macroblocks that hang below the image repeat its last row.
std::vector<std::uint8_t> EncodeFrame(const PlanarImage& image, std::int32_t qtable_index);

}  // namespace veltocam::sim
