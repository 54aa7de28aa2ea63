// Entropy decoding of a frame, one macroblock at a time: Huffman codes, DC
// prediction, zigzag order and quantisation, with the check that stops decoding
// where the data runs out.
#pragma once

#include <array>
#include <cstdint>

#include "codec/bitreader.h"
#include "codec/quant_tables.h"
#include "codec/runtime_tables.h"

namespace veltocam::codec {

enum class Sampling { k420, k422 };

inline constexpr int kMaxBlocksPerMacroblock = 6;

// Component of each block of a macroblock, in coded order: 0 Y, 1 Cb, 2 Cr.
struct MacroblockShape {
  int blocks;
  int width;
  int height;
  std::uint8_t component[kMaxBlocksPerMacroblock];
};
inline constexpr MacroblockShape kShape420{6, 16, 16, {0, 0, 0, 0, 1, 2}};
inline constexpr MacroblockShape kShape422{4, 16, 8, {0, 0, 1, 2}};

inline const MacroblockShape& ShapeOf(Sampling sampling) {
  return sampling == Sampling::k420 ? kShape420 : kShape422;
}

// Coefficients of one block, column by column: (row r, column c) at c * 8 + r.
// The order costs nothing while decoding and spares the transform a transpose.
using CoefficientBlock = std::int32_t[64];

inline constexpr int ColumnMajor(int natural) {
  return (natural & 7) * 8 + (natural >> 3);
}

class MacroblockDecoder {
 public:
  // `length` bytes are coded; `length` + 5 may be read. The 4:2:2 decoders keep
  // only the low 16 bits of the DC predictor in the coefficient they store.
  MacroblockDecoder(const std::uint8_t* data, std::int32_t length, const QuantPair& pair,
                    Sampling sampling);

  // Decodes the next macroblock into `blocks`, which must be all zero, as
  // dequantised coefficients (column-major, see CoefficientBlock); `has_ac`
  // tells which blocks got an AC coefficient. False when the data runs out or is
  // invalid: then the blocks are undefined and decoding must stop.
  bool Decode(CoefficientBlock* blocks, bool* has_ac);

 private:
  struct Coding;
  struct State {
    BitReader reader;
    std::int32_t predictor[3];
  };

  enum class Step { kNext, kEnd, kInvalid };

  // The blocks of a macroblock without length checks (short of the end of the
  // data), and with every check in place.
  bool DecodeBlocksFast(CoefficientBlock* blocks, bool* has_ac);
  bool DecodeBlocksChecked(CoefficientBlock* blocks, bool* has_ac);
  Coding CodingOf(bool luma) const;
  template <bool kLuma>
  bool DecodeBlockFast(BitReader& reader, std::int32_t& predictor, std::int32_t* block,
                       bool& has_ac);
  // One block with checks; `k` receives the position after its last coefficient.
  bool DecodeBlock(const Coding& coding, BitReader& reader, std::int32_t& predictor,
                   std::int32_t* block, int& k);
  bool DecodeDc(const Coding& coding, BitReader& reader, std::int32_t& predictor,
                std::int32_t* block);
  // One AC symbol at position k (advanced past it).
  template <bool kChecked>
  Step DecodeAc(const Coding& coding, BitReader& reader, std::int32_t* block, int& k);
  // The AC symbols of a block, two at a time where they are short; no checks.
  template <bool kLuma>
  bool DecodeAcPairs(BitReader& reader, std::int32_t* block, int& k);
  bool Reached(std::int64_t position) const { return position >= check_limit_; }

  State state_;
  // Each coefficient in coded order: its quantiser << 8 | its place in the block.
  // One table per component keeps the decoding loop to one load per value.
  std::uint32_t luma_slots_[64];
  std::uint32_t chroma_slots_[64];
  const DecoderTables& tables_;
  const MacroblockShape& shape_;
  bool dc_low16_;
  // Bits consumed at which the length check fires: the reader would then have
  // fetched `length` + 4 bytes through its 32-bit window, 16 bits at a time.
  std::int64_t check_limit_;
};

}  // namespace veltocam::codec
