#include "codec/macroblock_decoder.h"

#include <cstring>

#include "codec/format_tables.h"
#include "codec/huffman.h"
#include "codec/runtime_tables.h"

namespace veltocam::codec {

// How one component's blocks are coded.
struct MacroblockDecoder::Coding {
  const DcLookup& dc;
  const AcLookup& ac;
  const AcSearchTable& search;
  const std::uint32_t* slots;  // in coded order, see luma_slots_
  int dc_checked_after;        // see kLumaDcCheckedAfter
  int ac_checked_after;
};

namespace {

std::int32_t WrapAdd(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}
std::int32_t WrapMul(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) * static_cast<std::uint32_t>(b));
}

// Code bits past these counts are examined one at a time, each after a length
// check: the widths of the camera decoder's own tables (8 bits for luminance DC,
// whose codes all fit; 4 for chrominance DC; 7 + 5 for luminance AC; 6 for
// chrominance AC). The lookups here are wider, so the checks are made apart.
constexpr int kLumaDcCheckedAfter = 16;
constexpr int kChromaDcCheckedAfter = 4;
constexpr int kLumaAcCheckedAfter = 10;
constexpr int kChromaAcCheckedAfter = 6;

// A value times its quantiser, at its place in the block (see luma_slots_). AC
// values stay within 10 bits, so the product fits.
void Store(std::int32_t* block, std::uint32_t slot, std::int32_t value) {
  block[slot & 0xFF] = value * static_cast<std::int32_t>(slot >> 8);
}

// EXTEND of `size` value bits, 0 for size 0; without a branch, as the size of a
// DC difference is no more predictable than its value.
std::int32_t ExtendOrZero(std::uint32_t bits, int size) {
  const std::uint32_t half = (1u << size) >> 1;
  const std::uint32_t negative = bits < half ? (1u << size) - 1 : 0;
  return static_cast<std::int32_t>(bits - negative);
}

// Enough for the longest code and its value bits (16 + 10; DC 11 + 11).
constexpr int kBitsPerSymbol = 26;

}  // namespace

MacroblockDecoder::MacroblockDecoder(const std::uint8_t* data, std::int32_t length,
                                     const QuantPair& pair, Sampling sampling)
    : state_{BitReader(data, static_cast<std::int64_t>(length) + 5), {0, 0, 0}},
      tables_(GetDecoderTables()),
      shape_(ShapeOf(sampling)),
      dc_low16_(sampling == Sampling::k422) {
  for (int k = 0; k < 64; ++k) {
    const auto place = static_cast<std::uint32_t>(ColumnMajor(kZigzag[k]));
    luma_slots_[k] = static_cast<std::uint32_t>(pair.luma[kZigzag[k]]) << 8 | place;
    chroma_slots_[k] = static_cast<std::uint32_t>(pair.chroma[kZigzag[k]]) << 8 | place;
  }
  // The camera decoder's 32-bit window holds 16 + (16 - 1) bits at most after a
  // refill, so the bytes it has fetched reach length + 4 once more than
  // 16 * ceil((length + 4) / 2) - 32 bits are consumed. With no data the very
  // first check fires.
  const std::int64_t bytes = length;
  check_limit_ = bytes <= 0 ? 0 : 16 * ((bytes + 5) / 2) - 31;
}

bool MacroblockDecoder::Decode(CoefficientBlock* blocks, bool* has_ac) {
  const State start = state_;
  if (!DecodeBlocksFast(blocks, has_ac)) return false;
  // Every check made in this macroblock came before its last bit; only when that
  // bit lies past the limit can a check have fired. Then decode it again with
  // every check in place (only at the very end of the data).
  if (!Reached(state_.reader.Consumed())) return true;
  state_ = start;
  std::memset(blocks, 0, sizeof(CoefficientBlock) * static_cast<std::size_t>(shape_.blocks));
  return DecodeBlocksChecked(blocks, has_ac);
}

bool MacroblockDecoder::DecodeBlocksChecked(CoefficientBlock* blocks, bool* has_ac) {
  BitReader reader = state_.reader;
  for (int b = 0; b < shape_.blocks; ++b) {
    const int component = shape_.component[b];
    int k = 1;
    if (!DecodeBlock(CodingOf(component == 0), reader, state_.predictor[component], blocks[b], k)) {
      return false;
    }
    has_ac[b] = k > 1;
  }
  state_.reader = reader;
  return true;
}

MacroblockDecoder::Coding MacroblockDecoder::CodingOf(bool luma) const {
  if (luma) {
    return {kLumaDcLookup, kLumaAcLookup,       tables_.luma_ac,
            luma_slots_,   kLumaDcCheckedAfter, kLumaAcCheckedAfter};
  }
  return {kChromaDcLookup, kChromaAcLookup,       tables_.chroma_ac,
          chroma_slots_,   kChromaDcCheckedAfter, kChromaAcCheckedAfter};
}

// The steps of a macroblock are inlined into its loop, where the bit window and
// the position stay in registers: as calls they would pass through memory.
#define VELTOCAM_STEP [[gnu::always_inline]] inline

bool MacroblockDecoder::DecodeBlock(const Coding& coding, BitReader& reader,
                                    std::int32_t& predictor, std::int32_t* block, int& k) {
  if (!DecodeDc(coding, reader, predictor, block)) return false;
  for (;;) {
    const Step step = DecodeAc<true>(coding, reader, block, k);
    if (step != Step::kNext) return step == Step::kEnd;
  }
}

template <bool kLuma>
VELTOCAM_STEP bool MacroblockDecoder::DecodeBlockFast(BitReader& reader, std::int32_t& predictor,
                                                      std::int32_t* block, bool& has_ac) {
  const DcLookup& dc_table = kLuma ? kLumaDcLookup : kChromaDcLookup;
  const std::uint32_t* slots = kLuma ? luma_slots_ : chroma_slots_;
  reader.Refill();
  const unsigned dc = dc_table[reader.Peek(kDcLookupBits)];
  if (dc == 0) return false;
  reader.Skip(static_cast<int>(dc >> 4));
  const int category = static_cast<int>(dc & 15);
  predictor = WrapAdd(predictor, ExtendOrZero(reader.TakeUpTo(category), category));
  const std::int32_t dc_value = dc_low16_ ? static_cast<std::int16_t>(predictor) : predictor;
  block[0] = WrapMul(dc_value, static_cast<std::int32_t>(slots[0] >> 8));
  int k = 1;
  if (!DecodeAcPairs<kLuma>(reader, block, k)) return false;
  has_ac = k > 1;
  return true;
}

bool MacroblockDecoder::DecodeDc(const Coding& coding, BitReader& reader, std::int32_t& predictor,
                                 std::int32_t* block) {
  reader.Refill();
  const std::int64_t dc_start = reader.Consumed();
  if (Reached(dc_start)) return false;
  const unsigned dc = coding.dc[reader.Peek(kDcLookupBits)];
  if (dc == 0) return false;
  const int dc_length = static_cast<int>(dc >> 4);
  const int category = static_cast<int>(dc & 15);
  if (dc_length > coding.dc_checked_after && Reached(dc_start + dc_length - 1)) {
    return false;
  }
  reader.Skip(dc_length);
  if (category != 0) {
    if (Reached(reader.Consumed())) return false;
    predictor = WrapAdd(predictor, Extend(reader.Take(category), category));
  }
  const std::int32_t dc_value = dc_low16_ ? static_cast<std::int16_t>(predictor) : predictor;
  block[0] = WrapMul(dc_value, static_cast<std::int32_t>(coding.slots[0] >> 8));
  return true;
}

template <bool kChecked>
VELTOCAM_STEP MacroblockDecoder::Step MacroblockDecoder::DecodeAc(const Coding& coding,
                                                                  BitReader& reader,
                                                                  std::int32_t* block, int& k) {
  if (reader.count() < kBitsPerSymbol) reader.Refill();
  const std::int64_t start = kChecked ? reader.Consumed() : 0;
  if (kChecked && Reached(start)) return Step::kInvalid;
  const std::uint32_t entry = coding.ac[reader.Peek(kAcLookupBits)];
  int length = static_cast<int>(entry >> 9 & 15);
  if (entry & kAcFolded) {
    if (kChecked) {
      const int size = static_cast<int>(entry & 31) - length;
      if (length > coding.ac_checked_after && Reached(start + length - 1)) return Step::kInvalid;
      if (size != 0 && Reached(start + length)) return Step::kInvalid;
    }
    reader.Skip(static_cast<int>(entry & 31));
    k += static_cast<int>(entry >> 5 & 15);
    if (k > 63) return Step::kInvalid;
    Store(block, coding.slots[k], static_cast<std::int16_t>(entry >> 16));
    return ++k > 63 ? Step::kEnd : Step::kNext;
  }
  if (entry & kAcEndOfBlock) {
    reader.Skip(length);
    return Step::kEnd;
  }
  int run;
  int size;
  if (length != 0) {
    run = static_cast<int>(entry >> 5 & 15);
    size = static_cast<int>(entry >> 16 & 15);
  } else {
    const int symbol = SearchLongAcCode(coding.search, reader.Peek(16), length);
    if (symbol < 0) return Step::kInvalid;
    run = symbol >> 4;
    size = symbol & 15;
  }
  if (kChecked && length > coding.ac_checked_after && Reached(start + length - 1)) {
    return Step::kInvalid;
  }
  reader.Skip(length);
  k += run;
  if (k > 63) return Step::kInvalid;
  if (size != 0) {
    if (kChecked && Reached(reader.Consumed())) return Step::kInvalid;
    Store(block, coding.slots[k], Extend(reader.Take(size), size));
  }
  return ++k > 63 ? Step::kEnd : Step::kNext;
}

template <bool kLuma>
VELTOCAM_STEP bool MacroblockDecoder::DecodeAcPairs(BitReader& reader, std::int32_t* block,
                                                    int& k) {
  // Fixed per component, so that neither table takes a register.
  const AcPairLookup& pairs = kLuma ? kLumaAcPairLookup : kChromaAcPairLookup;
  const std::uint32_t* slots = kLuma ? luma_slots_ : chroma_slots_;
  BitReader bits = reader;
  int position = k;
  for (;;) {
    // A full window holds five lookups of at most 11 bits each: topping it up
    // once for them costs less than a branch on how full it is, which no
    // predictor guesses.
    bits.Refill();
    for (int lookup = 0; lookup < 5; ++lookup) {
      const std::uint32_t entry = pairs[bits.Peek(kAcLookupBits)];
      const int advance = static_cast<int>(entry >> 4 & 127);
      const int next = position + advance;
      const int first = position + static_cast<int>(entry >> 11 & 15);
      // Both symbols are coefficients that leave the block open: store the
      // second value (0 when there is none) first, as a lone first value goes
      // to the same place.
      if (next <= 63) {
        Store(block, slots[next - 1], static_cast<std::int32_t>(entry) >> 25);
        Store(block, slots[first], static_cast<std::int32_t>(entry << 7) >> 22);
        bits.Skip(static_cast<int>(entry & 15));
        position = next;
        continue;
      }
      // The end of block, alone (storing a 0 where the next coefficient would
      // go) or after one coefficient that leaves it open.
      const bool end = advance >= kPairEnd && advance != kPairSlow;
      if (end && next - kPairEnd <= 63) {
        Store(block, slots[first], static_cast<std::int32_t>(entry << 7) >> 22);
        bits.Skip(static_cast<int>(entry & 15));
        reader = bits;
        k = next - kPairEnd;
        return true;
      }
      // A long code or value, or a coefficient that fills or overruns the block.
      const Step step = DecodeAc<false>(CodingOf(kLuma), bits, block, position);
      if (step != Step::kNext) {
        reader = bits;
        k = position;
        return step == Step::kEnd;
      }
      break;  // it may have taken up to 26 bits
    }
  }
}

bool MacroblockDecoder::DecodeBlocksFast(CoefficientBlock* blocks, bool* has_ac) {
  // A local copy keeps the window in registers: the coefficient stores could
  // otherwise alias it.
  BitReader reader = state_.reader;
  const int luma_blocks = shape_.blocks - 2;
  for (int b = 0; b < luma_blocks; ++b) {
    if (!DecodeBlockFast<true>(reader, state_.predictor[0], blocks[b], has_ac[b])) return false;
  }
  for (int c = 1; c <= 2; ++c) {
    const int b = luma_blocks + c - 1;
    if (!DecodeBlockFast<false>(reader, state_.predictor[c], blocks[b], has_ac[b])) return false;
  }
  state_.reader = reader;
  return true;
}

}  // namespace veltocam::codec
