// The quantisation pairs the camera may use: ten fixed qualities selected by
// index (40..49 alias 0..9), and a custom pair for every other index.
#pragma once

#include <array>
#include <cstdint>

namespace veltocam::codec {

using QuantTable = std::array<std::uint16_t, 64>;  // natural order

struct QuantPair {
  QuantTable luma;
  QuantTable chroma;
};

// Quality of each fixed index 0..9.
inline constexpr std::array<int, 10> kPairQuality = {50, 70, 80, 85, 88, 90, 92, 95, 60, 40};
inline constexpr int kCustomPairQuality = 95;

// Annex K example table scaled to a quality 1..100, entries limited to 1..255.
QuantTable ScaledQuantTable(const std::array<std::uint8_t, 64>& base, int quality);

// The pair an index selects, widened to the decoder's 16-bit working form.
// Out-of-range indexes select the custom pair.
const QuantPair& SelectQuantPair(std::int32_t index);

}  // namespace veltocam::codec
