#include "reference_decoder.h"

#include <array>
#include <cstring>

#include "codec/decoder.h"
#include "codec/format_tables.h"
#include "codec/idct.h"

namespace veltocam::codec::testing {
namespace {

class Reader {
 public:
  Reader(const std::uint8_t* data, std::int32_t length) : data_(data), length_(length) {
    window_ = static_cast<std::uint32_t>(data[0]) << 24 | data[1] << 16 | data[2] << 8 | data[3];
  }
  // False once the bytes fetched reach length + 4.
  bool Check() const { return fetched_ < static_cast<std::int64_t>(length_) + 4; }
  std::uint32_t Peek(int n) const { return window_ >> (32 - n); }
  std::uint32_t Take(int n) {
    const std::uint32_t bits = Peek(n);
    window_ <<= n;
    valid_ -= n;
    if (valid_ < 16) {
      const std::uint32_t next = data_[fetched_] << 8 | data_[fetched_ + 1];
      window_ |= next << (16 - valid_);
      valid_ += 16;
      fetched_ += 2;
    }
    return bits;
  }

 private:
  const std::uint8_t* data_;
  std::int32_t length_;
  std::uint32_t window_;
  int valid_ = 32;
  std::int64_t fetched_ = 4;
};

// Symbol of each (length, code); -1 where the table has none.
struct CodeTable {
  std::array<std::vector<int>, 17> symbol;
  int table_bits;  // codes up to this length are matched on peeked bits
  int max_length;
  bool luma_dc;
};

CodeTable MakeTable(const CanonicalCode& code, int table_bits, int max_length, bool luma_dc) {
  CodeTable table{{}, table_bits, max_length, luma_dc};
  for (int l = 1; l <= 16; ++l) table.symbol[l].assign(1u << l, -1);
  for (int s = 0; s < 256; ++s) {
    if (code.length[s] != 0) table.symbol[code.length[s]][code.code[s]] = s;
  }
  return table;
}

// Returns the symbol, or -1 for the stream error.
int DecodeSymbol(Reader& reader, const CodeTable& table) {
  if (!reader.Check()) return -1;
  if (table.luma_dc && reader.Peek(8) == 0xFF) {
    reader.Take(9);
    return 11;
  }
  const std::uint32_t peeked = reader.Peek(table.table_bits);
  for (int l = 1; l <= table.table_bits; ++l) {
    const int s = table.symbol[l][peeked >> (table.table_bits - l)];
    if (s >= 0) {
      reader.Take(l);
      return s;
    }
  }
  std::uint32_t code = reader.Take(table.table_bits);
  for (int l = table.table_bits + 1; l <= table.max_length; ++l) {
    if (!reader.Check()) return -1;
    code = code << 1 | reader.Take(1);
    if (table.symbol[l][code] >= 0) return table.symbol[l][code];
  }
  return -1;
}

bool ReadValue(Reader& reader, int size, std::int32_t& value) {
  value = 0;
  if (size == 0) return true;
  if (!reader.Check()) return false;
  const std::uint32_t bits = reader.Take(size);
  value = bits < (1u << (size - 1)) ? static_cast<std::int32_t>(bits) - ((1 << size) - 1)
                                    : static_cast<std::int32_t>(bits);
  return true;
}

struct Tables {
  CodeTable luma_dc = MakeTable(kLumaDcCode, 8, 9, true);
  CodeTable chroma_dc = MakeTable(kChromaDcCode, 4, 11, false);
  CodeTable luma_ac = MakeTable(kLumaAcCode, 10, 16, false);
  CodeTable chroma_ac = MakeTable(kChromaAcCode, 6, 16, false);
};

bool DecodeBlock(Reader& reader, const CodeTable& dc, const CodeTable& ac,
                 const std::uint16_t* quant, std::int32_t& predictor, bool dc_low16,
                 std::int32_t* block) {
  const int category = DecodeSymbol(reader, dc);
  if (category < 0) return false;
  std::int32_t difference;
  if (!ReadValue(reader, category, difference)) return false;
  predictor = static_cast<std::int32_t>(static_cast<std::uint32_t>(predictor) +
                                        static_cast<std::uint32_t>(difference));
  const std::int32_t stored = dc_low16 ? static_cast<std::int16_t>(predictor) : predictor;
  block[0] = static_cast<std::int32_t>(static_cast<std::uint32_t>(stored) * quant[0]);
  for (int k = 1; k < 64;) {
    const int symbol = DecodeSymbol(reader, ac);
    if (symbol < 0) return false;
    if (symbol == 0) break;
    k += symbol >> 4;
    if (k > 63) return false;
    std::int32_t value;
    if (!ReadValue(reader, symbol & 15, value)) return false;
    block[ColumnMajor(kZigzag[k])] = value * quant[kZigzag[k]];
    ++k;
  }
  return true;
}

}  // namespace

std::size_t PlanarSize(int width, int height, Sampling sampling) {
  const std::size_t luma = static_cast<std::size_t>(width) * height;
  return sampling == Sampling::k420 ? luma * 3 / 2 : luma * 2;
}

ReferenceResult ReferenceDecodePlanar(const std::uint8_t* data, std::int32_t length, int width,
                                      int height, std::int32_t qtable_index, Sampling sampling,
                                      bool flip, std::uint8_t* output) {
  static const Tables tables;
  const QuantPair& pair = SelectQuantPair(qtable_index);
  const MacroblockShape& shape = ShapeOf(sampling);
  const int chroma_height = sampling == Sampling::k420 ? height / 2 : height;
  const int chroma_width = width / 2;
  std::uint8_t* planes[3] = {output, output + width * height,
                             output + width * height + chroma_width * chroma_height};
  const int plane_width[3] = {width, chroma_width, chroma_width};
  const int plane_height[3] = {height, chroma_height, chroma_height};
  auto store_row = [&](int plane, int row, int column, const std::uint8_t* samples) {
    if (row >= plane_height[plane]) return;
    const int stored = flip ? plane_height[plane] - 1 - row : row;
    std::memcpy(planes[plane] + stored * plane_width[plane] + column, samples, 8);
  };

  Reader reader(data, length);
  std::int32_t predictor[3] = {0, 0, 0};
  int done = 0;
  for (int y = 0; y < height; y += shape.height) {
    for (int x = 0; x < width; x += 16) {
      std::int32_t blocks[6][64] = {};
      for (int b = 0; b < shape.blocks; ++b) {
        const int c = shape.component[b];
        const bool ok =
            c == 0 ? DecodeBlock(reader, tables.luma_dc, tables.luma_ac, pair.luma.data(),
                                 predictor[0], sampling == Sampling::k422, blocks[b])
                   : DecodeBlock(reader, tables.chroma_dc, tables.chroma_ac, pair.chroma.data(),
                                 predictor[c], sampling == Sampling::k422, blocks[b]);
        if (!ok) return {CODEC_ERR_STREAM, done};
      }
      std::uint8_t samples[6][64];
      for (int b = 0; b < shape.blocks; ++b) InverseDctScalar(blocks[b], samples[b]);
      const int luma_blocks = shape.blocks - 2;
      for (int b = 0; b < luma_blocks; ++b) {
        for (int r = 0; r < 8; ++r) {
          store_row(0, y + (b >> 1) * 8 + r, x + (b & 1) * 8, samples[b] + r * 8);
        }
      }
      const int chroma_y = sampling == Sampling::k420 ? y / 2 : y;
      for (int r = 0; r < 8; ++r) {
        store_row(1, chroma_y + r, x / 2, samples[luma_blocks] + r * 8);
        store_row(2, chroma_y + r, x / 2, samples[luma_blocks + 1] + r * 8);
      }
      ++done;
    }
  }
  return {CODEC_OK, done};
}

}  // namespace veltocam::codec::testing
