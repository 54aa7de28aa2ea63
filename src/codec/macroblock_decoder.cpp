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
  const std::int32_t* quant;  // in coded order
  int dc_checked_after;       // see kLumaDcCheckedAfter
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

// Enough for the longest code and its value bits (16 + 10; DC 11 + 11).
constexpr int kBitsPerSymbol = 26;

}  // namespace

MacroblockDecoder::MacroblockDecoder(const std::uint8_t* data, std::int32_t length,
                                     const QuantPair& pair, Sampling sampling)
    : state_{BitReader(data, static_cast<std::int64_t>(length) + 5), {0, 0, 0}},
      shape_(ShapeOf(sampling)),
      dc_low16_(sampling == Sampling::k422) {
  for (int k = 0; k < 64; ++k) {
    position_[k] = static_cast<std::uint8_t>(ColumnMajor(kZigzag[k]));
    luma_quant_[k] = pair.luma[kZigzag[k]];
    chroma_quant_[k] = pair.chroma[kZigzag[k]];
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
  if (!DecodeBlocks<false>(blocks, has_ac)) return false;
  // Every check made in this macroblock came before its last bit; only when that
  // bit lies past the limit can a check have fired. Then decode it again with
  // every check in place (only at the very end of the data).
  if (!Reached(state_.reader.Consumed())) return true;
  state_ = start;
  std::memset(blocks, 0, sizeof(CoefficientBlock) * static_cast<std::size_t>(shape_.blocks));
  return DecodeBlocks<true>(blocks, has_ac);
}

template <bool kChecked>
bool MacroblockDecoder::DecodeBlocks(CoefficientBlock* blocks, bool* has_ac) {
  const DecoderTables& tables = GetDecoderTables();
  const Coding luma{kLumaDcLookup, kLumaAcLookup,       tables.luma_ac,
                    luma_quant_,   kLumaDcCheckedAfter, kLumaAcCheckedAfter};
  const Coding chroma{kChromaDcLookup, kChromaAcLookup,       tables.chroma_ac,
                      chroma_quant_,   kChromaDcCheckedAfter, kChromaAcCheckedAfter};
  for (int b = 0; b < shape_.blocks; ++b) {
    const int component = shape_.component[b];
    if (!DecodeBlock<kChecked>(component == 0 ? luma : chroma, state_.predictor[component],
                               blocks[b], has_ac[b])) {
      return false;
    }
  }
  return true;
}

template <bool kChecked>
bool MacroblockDecoder::DecodeBlock(const Coding& coding, std::int32_t& predictor,
                                    std::int32_t* block, bool& has_ac) {
  // A local copy keeps the window in registers: the coefficient stores below
  // could otherwise alias it.
  BitReader reader = state_.reader;
  const std::int32_t* quant = coding.quant;
  if (reader.count() < kBitsPerSymbol) reader.Refill();

  // DC difference.
  const std::int64_t dc_start = kChecked ? reader.Consumed() : 0;
  if (kChecked && Reached(dc_start)) return false;
  const unsigned dc = coding.dc[reader.Peek(kDcLookupBits)];
  if (dc == 0) return false;
  const int dc_length = static_cast<int>(dc >> 4);
  const int category = static_cast<int>(dc & 15);
  if (kChecked && dc_length > coding.dc_checked_after && Reached(dc_start + dc_length - 1)) {
    return false;
  }
  reader.Skip(dc_length);
  if (category != 0) {
    if (kChecked && Reached(reader.Consumed())) return false;
    predictor = WrapAdd(predictor, Extend(reader.Take(category), category));
  }
  const std::int32_t dc_value = dc_low16_ ? static_cast<std::int16_t>(predictor) : predictor;
  block[0] = WrapMul(dc_value, quant[0]);

  // AC coefficients in zigzag order.
  bool ac = false;
  for (int k = 1;;) {
    if (reader.count() < kBitsPerSymbol) reader.Refill();
    const std::int64_t start = kChecked ? reader.Consumed() : 0;
    if (kChecked && Reached(start)) return false;
    const std::uint32_t entry = coding.ac[reader.Peek(kAcLookupBits)];
    int length = static_cast<int>(entry >> 9 & 15);
    if (entry & kAcFolded) {
      if (kChecked) {
        const int size = static_cast<int>(entry & 31) - length;
        if (length > coding.ac_checked_after && Reached(start + length - 1)) return false;
        if (size != 0 && Reached(start + length)) return false;
      }
      reader.Skip(static_cast<int>(entry & 31));
      k += static_cast<int>(entry >> 5 & 15);
      if (k > 63) return false;
      block[position_[k]] = static_cast<std::int16_t>(entry >> 16) * quant[k];
      ac = true;
      if (++k > 63) break;
      continue;
    }
    if (entry & kAcEndOfBlock) {
      reader.Skip(length);
      break;
    }
    int run;
    int size;
    if (length != 0) {
      run = static_cast<int>(entry >> 5 & 15);
      size = static_cast<int>(entry >> 16 & 15);
    } else {
      const int symbol = SearchLongAcCode(coding.search, reader.Peek(16), length);
      if (symbol < 0) return false;
      run = symbol >> 4;
      size = symbol & 15;
    }
    if (kChecked && length > coding.ac_checked_after && Reached(start + length - 1)) return false;
    reader.Skip(length);
    k += run;
    if (k > 63) return false;
    if (size != 0) {
      if (kChecked && Reached(reader.Consumed())) return false;
      block[position_[k]] = Extend(reader.Take(size), size) * quant[k];
      ac = true;
    }
    if (++k > 63) break;
  }
  has_ac = ac;
  state_.reader = reader;
  return true;
}

}  // namespace veltocam::codec
