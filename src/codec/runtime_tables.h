// The codec's read-only run-time tables: built once, on first use, and shared by
// every decode. Nothing writes them afterwards, so decodes for several cameras
// may run at the same time.
#pragma once

#include <array>
#include <cstdint>

namespace veltocam::codec {

// Long-code search for one AC table: per code length, the first code (-1 when
// the length has none), the number of codes (-1 when none), and the
// run/size symbol of each code, stored from `offset[length]` in code order.
struct AcSearchTable {
  std::array<std::int32_t, 17> first_code;
  std::array<std::int32_t, 17> count;
  std::array<std::uint8_t, 17> offset;
  std::array<std::uint8_t, 162> symbols;  // run << 4 | size
  bool operator==(const AcSearchTable&) const = default;
};

// Chrominance DC codes of lengths 2..11 (at most three of each length).
struct DcSearchTable {
  std::array<std::int32_t, 12> count;
  std::array<std::array<std::uint16_t, 3>, 12> code;
  std::array<std::array<std::uint8_t, 3>, 12> category;
  bool operator==(const DcSearchTable&) const = default;
};

inline constexpr int kLimitOffset = 300;  // index of sample value 0 in `limit`

struct DecoderTables {
  std::array<std::uint8_t, 64> custom_luma_quant;
  std::array<std::uint8_t, 64> custom_chroma_quant;
  AcSearchTable luma_ac;
  AcSearchTable chroma_ac;
  DcSearchTable chroma_dc;
  std::array<std::uint8_t, 800> limit;  // values -300..499 limited to 0..255
  std::array<std::int16_t, 256> cr_to_r;
  std::array<std::int16_t, 256> cb_to_g;
  std::array<std::int16_t, 256> cr_to_g;
  std::array<std::int16_t, 256> cb_to_b;
  std::array<std::array<std::uint16_t, 256>, 256> red;   // [Y][Cr]
  std::array<std::array<std::uint16_t, 256>, 256> blue;  // [Y][Cb]
  // Weights of the 4-to-5 enlargement kernel: i * 37, 77, 178, 292.
  std::array<std::array<std::int32_t, 256>, 4> weight;
  // Colour terms of a signed chroma byte s: s * 352, 1815, 1436, 731.
  std::array<std::array<std::int32_t, 256>, 4> signed_chroma;
  std::array<std::uint8_t, 256> level;
  bool operator==(const DecoderTables&) const = default;
};

enum WeightIndex { kWeight37, kWeight77, kWeight178, kWeight292 };
enum SignedChromaIndex { kCbToGreen352, kCbToBlue1815, kCrToRed1436, kCrToGreen731 };

// Fills every table; the same content every time.
void BuildDecoderTables(DecoderTables& tables);

// The shared instance, built on the first call (thread-safe).
const DecoderTables& GetDecoderTables();

inline std::uint8_t LimitSample(const DecoderTables& tables, int value) {
  return tables.limit[static_cast<unsigned>(value + kLimitOffset)];
}

}  // namespace veltocam::codec
