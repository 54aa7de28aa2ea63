#include "codec/runtime_tables.h"

#include "codec/decoder.h"
#include "codec/format_tables.h"
#include "codec/quant_tables.h"

namespace veltocam::codec {
namespace {

constexpr int kNoCode = -1;
constexpr std::uint8_t kNotASymbol = 255;

// Code length of every run/size pair of an AC table, indexed [run][size]:
// 255 for a size-0 pair that is no symbol, 0 for sizes 11..15 (never coded).
using LengthMatrix = std::array<std::array<std::uint8_t, 16>, 16>;

LengthMatrix AcLengthMatrix(const CanonicalCode& code) {
  LengthMatrix matrix{};
  for (int run = 0; run < 16; ++run) {
    for (int size = 0; size <= 10; ++size) {
      const std::uint8_t length = code.length[run * 16 + size];
      matrix[run][size] = length != 0 ? length : kNotASymbol;
    }
  }
  return matrix;
}

// First code of each length of a canonical code (-1 where the length has none).
std::array<std::int32_t, 17> FirstCodes(const HuffmanSpec& spec) {
  std::array<std::int32_t, 17> first{};
  first.fill(kNoCode);
  std::int32_t code = 0;
  for (int length = 1; length <= 16; ++length) {
    if (spec.counts[length - 1] != 0) first[length] = code;
    code = (code + spec.counts[length - 1]) << 1;
  }
  return first;
}

// Codes of one length are numbered in increasing run/size order, starting at the
// length's first code; that reproduces the Annex K codes.
void BuildAcSearch(const HuffmanSpec& spec, const CanonicalCode& code, AcSearchTable& table) {
  const LengthMatrix matrix = AcLengthMatrix(code);
  const std::array<std::int32_t, 17> first = FirstCodes(spec);
  int stored = 0;
  for (int length = 0; length <= 16; ++length) {
    table.first_code[length] = kNoCode;
    table.count[length] = kNoCode;
    table.offset[length] = static_cast<std::uint8_t>(stored);
    if (first[length] == kNoCode) continue;
    table.first_code[length] = first[length];
    int recorded = 0;
    for (int run = 0; run < 16; ++run) {
      for (int size = 0; size <= 10; ++size) {
        if (matrix[run][size] != length) continue;
        table.symbols[stored++] = static_cast<std::uint8_t>(run << 4 | size);
        table.count[length] = ++recorded;
      }
    }
  }
}

void BuildChromaDcSearch(DcSearchTable& table) {
  table = DcSearchTable{};
  for (int category = 0; category <= 11; ++category) {
    const int length = kChromaDcCode.length[category];
    const int slot = table.count[length]++;
    table.code[length][slot] = kChromaDcCode.code[category];
    table.category[length][slot] = static_cast<std::uint8_t>(category);
  }
}

int Clamp255(int value) {
  return value < 0 ? 0 : (value > 255 ? 255 : value);
}

void BuildColourTables(DecoderTables& tables) {
  for (int i = 0; i < 256; ++i) {
    // Integer division truncates toward zero, as the offsets are defined.
    tables.cr_to_r[i] = static_cast<std::int16_t>(1402 * (i - 128) / 1000);
    tables.cb_to_g[i] = static_cast<std::int16_t>(344 * (i - 128) / 1000);
    tables.cr_to_g[i] = static_cast<std::int16_t>(714 * (i - 128) / 1000);
    tables.cb_to_b[i] = static_cast<std::int16_t>(1772 * (i - 128) / 1000);
  }
  for (int y = 0; y < 256; ++y) {
    for (int c = 0; c < 256; ++c) {
      tables.red[y][c] = static_cast<std::uint16_t>(Clamp255(y + tables.cr_to_r[c]));
      tables.blue[y][c] = static_cast<std::uint16_t>(Clamp255(y + tables.cb_to_b[c]));
    }
  }
}

}  // namespace

void BuildDecoderTables(DecoderTables& tables) {
  const QuantTable custom_luma = ScaledQuantTable(kBaseLumaQuant, kCustomPairQuality);
  const QuantTable custom_chroma = ScaledQuantTable(kBaseChromaQuant, kCustomPairQuality);
  for (int i = 0; i < 64; ++i) {
    tables.custom_luma_quant[i] = static_cast<std::uint8_t>(custom_luma[i]);
    tables.custom_chroma_quant[i] = static_cast<std::uint8_t>(custom_chroma[i]);
  }

  BuildAcSearch(kChromaAcSpec, kChromaAcCode, tables.chroma_ac);
  BuildChromaDcSearch(tables.chroma_dc);
  BuildAcSearch(kLumaAcSpec, kLumaAcCode, tables.luma_ac);

  static constexpr std::array<int, 4> kWeights = {37, 77, 178, 292};
  for (int w = 0; w < 4; ++w) {
    for (int i = 0; i < 256; ++i) tables.weight[w][i] = i * kWeights[w];
  }
  BuildColourTables(tables);
  static constexpr std::array<int, 4> kChromaFactors = {352, 1815, 1436, 731};
  for (int f = 0; f < 4; ++f) {
    for (int i = 0; i < 256; ++i) {
      const int s = i < 128 ? i : i - 256;
      tables.signed_chroma[f][i] = s * kChromaFactors[f];
    }
  }

  for (int v = -kLimitOffset; v < 500; ++v) {
    tables.limit[v + kLimitOffset] = static_cast<std::uint8_t>(Clamp255(v));
  }

  // Level factor 10 leaves luminance as it is: (127 * 0 + i * 10) / 10 = i.
  constexpr int kLevelFactor = 10;
  for (int i = 0; i < 256; ++i) {
    const int level = (127 * (10 - kLevelFactor) + i * kLevelFactor) / 10;
    tables.level[i] = static_cast<std::uint8_t>(Clamp255(level));
  }
}

const DecoderTables& GetDecoderTables() {
  // Static storage, not the stack: the colour tables alone take 256 KB.
  static DecoderTables tables;
  static const bool built = (BuildDecoderTables(tables), true);
  static_cast<void>(built);
  return tables;
}

}  // namespace veltocam::codec

std::uint32_t PrepareDecoderTables() {
  // The tables never change once built, so preparing them again for another
  // capture cannot disturb a decode running for another camera.
  veltocam::codec::GetDecoderTables();
  veltocam::codec::SelectQuantPair(0);
  return CODEC_OK;
}
