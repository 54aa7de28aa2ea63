// A deliberately plain decoder for the tests: a 32-bit window refilled 16 bits
// at a time with its fetch count, codes matched by table up to the table width
// and then one bit at a time, the length check before every code, every extra
// code bit and every group of value bits. The fast decoder must agree with it
// on every input, valid or not.
#pragma once

#include <cstdint>
#include <vector>

#include "codec/macroblock_decoder.h"

namespace veltocam::codec::testing {

struct ReferenceResult {
  std::uint32_t status;
  int macroblocks;  // completely decoded
};

// Decodes into planar output of the sampling's layout (top-down unless `flip`).
// `data` must hold `length` + 5 bytes (at least 4).
ReferenceResult ReferenceDecodePlanar(const std::uint8_t* data, std::int32_t length, int width,
                                      int height, std::int32_t qtable_index, Sampling sampling,
                                      bool flip, std::uint8_t* output);

// Planar output size of a frame.
std::size_t PlanarSize(int width, int height, Sampling sampling);

}  // namespace veltocam::codec::testing
