#include "codec/quant_tables.h"

#include "codec/format_tables.h"
#include "codec/runtime_tables.h"

namespace veltocam::codec {

QuantTable ScaledQuantTable(const std::array<std::uint8_t, 64>& base, int quality) {
  const int scale = quality < 50 ? 5000 / quality : 200 - 2 * quality;
  QuantTable table{};
  for (int i = 0; i < 64; ++i) {
    int value = (base[i] * scale + 50) / 100;
    if (value < 1) value = 1;
    if (value > 255) value = 255;
    table[i] = static_cast<std::uint16_t>(value);
  }
  return table;
}

namespace {

struct PairSet {
  std::array<QuantPair, 10> fixed;
  QuantPair custom;
};

PairSet BuildPairs() {
  PairSet set{};
  for (int i = 0; i < 10; ++i) {
    set.fixed[i].luma = ScaledQuantTable(kBaseLumaQuant, kPairQuality[i]);
    set.fixed[i].chroma = ScaledQuantTable(kBaseChromaQuant, kPairQuality[i]);
  }
  // The custom pair is stored as bytes; widen them as the working tables expect.
  const DecoderTables& tables = GetDecoderTables();
  for (int i = 0; i < 64; ++i) {
    set.custom.luma[i] = tables.custom_luma_quant[i];
    set.custom.chroma[i] = tables.custom_chroma_quant[i];
  }
  return set;
}

}  // namespace

const QuantPair& SelectQuantPair(std::int32_t index) {
  static const PairSet pairs = BuildPairs();  // built once, read-only after
  if (index >= 40 && index <= 49) index -= 40;
  if (index >= 0 && index <= 9) return pairs.fixed[index];
  return pairs.custom;
}

}  // namespace veltocam::codec
