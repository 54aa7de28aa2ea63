// Lookup tables for decoding the Annex K codes: every code of up to 11 bits (all
// DC codes) resolves in one lookup on the leading bits; longer AC codes go to a
// canonical search.
#pragma once

#include <array>
#include <cstdint>

#include "codec/format_tables.h"
#include "codec/runtime_tables.h"

namespace veltocam::codec {

inline constexpr int kDcLookupBits = 11;
inline constexpr int kAcLookupBits = 11;

// DC entry: code length << 4 | category; 0 where no code matches.
using DcLookup = std::array<std::uint8_t, 1 << kDcLookupBits>;

// AC entry. Bits 0-4: bits to skip (code, plus value bits when folded); 5-8: run;
// 9-12: code length (0: longer than the lookup, search for it). Bit 13: the
// value is folded into bits 16-31; bit 14: end of block. Otherwise bits 16-19
// hold the size of the value bits that follow the code.
using AcLookup = std::array<std::uint32_t, 1 << kAcLookupBits>;
inline constexpr std::uint32_t kAcFolded = 1u << 13;
inline constexpr std::uint32_t kAcEndOfBlock = 1u << 14;

constexpr DcLookup BuildDcLookup(const CanonicalCode& code, bool luma) {
  DcLookup table{};
  for (int category = 0; category <= 11; ++category) {
    const int length = code.length[category];
    const int first = code.code[category] << (kDcLookupBits - length);
    const int last = first + (1 << (kDcLookupBits - length));
    for (int i = first; i < last; ++i) table[i] = static_cast<std::uint8_t>(length << 4 | category);
  }
  if (luma) {
    // Eight leading 1 bits are category 11's 9-bit code, whatever the ninth bit.
    for (int i = 0xFF << 3; i < (1 << kDcLookupBits); ++i) table[i] = 9 << 4 | 11;
  }
  return table;
}

constexpr std::int32_t ExtendValue(std::uint32_t bits, int size) {
  return bits < (1u << (size - 1)) ? static_cast<std::int32_t>(bits) - ((1 << size) - 1)
                                   : static_cast<std::int32_t>(bits);
}

constexpr AcLookup BuildAcLookup(const CanonicalCode& code) {
  AcLookup table{};
  for (int symbol = 0; symbol < 256; ++symbol) {
    const int length = code.length[symbol];
    if (length == 0 || length > kAcLookupBits) continue;
    const std::uint32_t run = static_cast<std::uint32_t>(symbol >> 4);
    const int size = symbol & 15;
    const int spare = kAcLookupBits - length;
    for (int rest = 0; rest < (1 << spare); ++rest) {
      const int index = (code.code[symbol] << spare) | rest;
      const std::uint32_t common = run << 5 | static_cast<std::uint32_t>(length) << 9;
      std::uint32_t entry;
      if (symbol == kEndOfBlock) {
        entry = common | kAcEndOfBlock | static_cast<std::uint32_t>(length);
      } else if (size == 0) {  // sixteen zeros: a zero value after a run of 15
        entry = common | kAcFolded | static_cast<std::uint32_t>(length);
      } else if (length + size <= kAcLookupBits) {
        const std::uint32_t bits = static_cast<std::uint32_t>(rest >> (spare - size));
        const auto value = static_cast<std::uint16_t>(ExtendValue(bits, size));
        entry = common | kAcFolded | static_cast<std::uint32_t>(length + size) |
                static_cast<std::uint32_t>(value) << 16;
      } else {
        entry =
            common | static_cast<std::uint32_t>(length) | static_cast<std::uint32_t>(size) << 16;
      }
      table[index] = entry;
    }
  }
  return table;
}

// Two AC symbols per lookup where both fit in the looked-up bits, for the common
// short codes with small values. Entry bits 0-3: bits to skip; 4-10: how far
// the coefficient position advances; 11-14: run before the first value; 15-24:
// the first value; 25-31: the second value, which sits just before the new
// position (0 when there is no second symbol). The advance is raised by
// kPairEnd when an end of block follows (0 + kPairEnd: it comes first), and is
// kPairSlow when the symbol must be decoded through AcLookup instead: so one
// comparison of the new position with 63 tells the common case from the others.
using AcPairLookup = std::array<std::uint32_t, 1 << kAcLookupBits>;
inline constexpr int kPairEnd = 64;
inline constexpr int kPairSlow = 127;

constexpr std::uint32_t PairEntry(int skip, int advance, int run, int first, int second) {
  return static_cast<std::uint32_t>(skip) | static_cast<std::uint32_t>(advance) << 4 |
         static_cast<std::uint32_t>(run) << 11 | (static_cast<std::uint32_t>(first) & 0x3FF) << 15 |
         (static_cast<std::uint32_t>(second) & 0x7F) << 25;
}

constexpr std::uint32_t BuildPairEntry(const AcLookup& single, int index) {
  const std::uint32_t first = single[index];
  const int first_bits = static_cast<int>(first & 31);
  if (first & kAcEndOfBlock) return PairEntry(first_bits, kPairEnd, 0, 0, 0);
  if (!(first & kAcFolded)) return PairEntry(0, kPairSlow, 0, 0, 0);
  const int run = static_cast<int>(first >> 5 & 15);
  const int value = static_cast<std::int16_t>(first >> 16);
  const int spare = kAcLookupBits - first_bits;
  const std::uint32_t second = single[(index << first_bits) & ((1 << kAcLookupBits) - 1)];
  const int second_bits = static_cast<int>(second & 31);
  if (spare > 0 && second_bits <= spare) {
    if (second & kAcEndOfBlock) {
      return PairEntry(first_bits + second_bits, kPairEnd + run + 1, run, value, 0);
    }
    const int second_value = static_cast<std::int16_t>(second >> 16);
    if ((second & kAcFolded) && second_value >= -64 && second_value < 64) {
      const int second_run = static_cast<int>(second >> 5 & 15);
      return PairEntry(first_bits + second_bits, run + second_run + 2, run, value, second_value);
    }
  }
  return PairEntry(first_bits, run + 1, run, value, 0);
}

constexpr AcPairLookup BuildAcPairLookup(const AcLookup& single) {
  AcPairLookup table{};
  for (int i = 0; i < (1 << kAcLookupBits); ++i) table[i] = BuildPairEntry(single, i);
  return table;
}

inline constexpr DcLookup kLumaDcLookup = BuildDcLookup(kLumaDcCode, true);
inline constexpr DcLookup kChromaDcLookup = BuildDcLookup(kChromaDcCode, false);
inline constexpr AcLookup kLumaAcLookup = BuildAcLookup(kLumaAcCode);
inline constexpr AcLookup kChromaAcLookup = BuildAcLookup(kChromaAcCode);
inline constexpr AcPairLookup kLumaAcPairLookup = BuildAcPairLookup(kLumaAcLookup);
inline constexpr AcPairLookup kChromaAcPairLookup = BuildAcPairLookup(kChromaAcLookup);

// Canonical search for an AC code longer than the lookup, on the next 16 bits.
// Returns the run/size symbol and sets `length`, or returns -1: no code matches.
inline int SearchLongAcCode(const AcSearchTable& table, std::uint32_t next16, int& length) {
  for (int l = kAcLookupBits + 1; l <= 16; ++l) {
    const std::int32_t offset = static_cast<std::int32_t>(next16 >> (16 - l)) - table.first_code[l];
    if (table.count[l] > 0 && offset >= 0 && offset < table.count[l]) {
      length = l;
      return table.symbols[table.offset[l] + offset];
    }
  }
  return -1;
}

}  // namespace veltocam::codec
