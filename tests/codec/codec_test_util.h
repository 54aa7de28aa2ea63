// Helpers shared by the codec tests: decoding into pre-filled buffers so that
// untouched bytes show, and frames of the camera's format built from pictures.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "codec/decoder.h"
#include "codec/frame_decoder.h"
#include "reference_decoder.h"
#include "sim/encoder/encoder.h"
#include "sim/encoder/test_picture.h"

namespace veltocam::codec::testing {

inline constexpr std::uint8_t kUntouched = 0xA5;
inline constexpr int kSlack = 5;

// The coded bytes followed by the slack the decoder may read.
inline std::vector<std::uint8_t> WithSlack(std::vector<std::uint8_t> data,
                                           std::uint8_t fill = 0x00) {
  data.resize(data.size() + kSlack, fill);
  return data;
}

struct Decoded {
  std::uint32_t status;
  std::vector<std::uint8_t> pixels;
};

// Planar decode through a chosen inverse DCT (null: the entry point's choice).
inline Decoded DecodePlanar(const std::vector<std::uint8_t>& data, std::int32_t length, int width,
                            int height, std::int32_t qtable_index, Sampling sampling,
                            bool flip = false, InverseDctFunction idct = nullptr) {
  Decoded result{0, std::vector<std::uint8_t>(PlanarSize(width, height, sampling), kUntouched)};
  const FrameArguments arguments{
      length, data.data(), width, height, qtable_index, sampling == Sampling::k422,
      1,      0,           0,     0,      flip,         result.pixels.data(),
      0,      nullptr};
  result.status = idct != nullptr
                      ? DecodeFrameWith(arguments, idct)
                      : DecodeCompressedFrame(length, data.data(), width, height, qtable_index,
                                              sampling == Sampling::k422, 1, 0, 0, 0, flip,
                                              result.pixels.data(), 0, nullptr);
  return result;
}

inline Decoded ReferencePlanar(const std::vector<std::uint8_t>& data, std::int32_t length,
                               int width, int height, std::int32_t qtable_index, Sampling sampling,
                               bool flip = false) {
  Decoded result{0, std::vector<std::uint8_t>(PlanarSize(width, height, sampling), kUntouched)};
  result.status = ReferenceDecodePlanar(data.data(), length, width, height, qtable_index, sampling,
                                        flip, result.pixels.data())
                      .status;
  return result;
}

// A natural picture coded in the camera's format, without slack.
inline std::vector<std::uint8_t> NaturalFrame(int width, int height, Sampling sampling,
                                              std::int32_t qtable_index, std::uint32_t seed = 1) {
  return sim::EncodeFrame(sim::MakeTestPicture(width, height, sampling, seed), qtable_index);
}

}  // namespace veltocam::codec::testing
