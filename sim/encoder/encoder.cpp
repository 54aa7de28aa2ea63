#include "sim/encoder/encoder.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <utility>

#include "codec/format_tables.h"

namespace veltocam::sim {

void BitWriter::Put(std::uint32_t bits, int count) {
  for (int i = count - 1; i >= 0; --i) {
    pending_ = pending_ << 1 | (bits >> i & 1);
    if (++pending_bits_ == 8) {
      bytes_.push_back(static_cast<std::uint8_t>(pending_));
      pending_ = 0;
      pending_bits_ = 0;
    }
  }
  bit_count_ += static_cast<std::size_t>(count);
}

std::vector<std::uint8_t> BitWriter::Finish() {
  if (pending_bits_ != 0) Put((1u << (8 - pending_bits_)) - 1, 8 - pending_bits_);
  return bytes_;
}

namespace {

int SizeOf(int value) {
  int magnitude = value < 0 ? -value : value;
  int size = 0;
  while (magnitude != 0) {
    ++size;
    magnitude >>= 1;
  }
  return size;
}

}  // namespace

void BlockCoder::PutSymbol(Component component, bool dc, int symbol) {
  const codec::CanonicalCode& code =
      dc ? (component == kY ? codec::kLumaDcCode : codec::kChromaDcCode)
         : (component == kY ? codec::kLumaAcCode : codec::kChromaAcCode);
  writer_.Put(code.code[symbol], code.length[symbol]);
}

void BlockCoder::PutValue(int value, int size) {
  // A negative value is sent as value - 1 in `size` bits (a leading 0).
  const int bits = value < 0 ? value + (1 << size) - 1 : value;
  writer_.Put(static_cast<std::uint32_t>(bits), size);
}

void BlockCoder::PutDcDifference(Component component, int difference) {
  const int size = SizeOf(difference);
  PutSymbol(component, true, size);
  if (size != 0) PutValue(difference, size);
  predictor_[component] += difference;
}

void BlockCoder::PutAc(Component component, int run, int value) {
  const int size = SizeOf(value);
  PutSymbol(component, false, run << 4 | size);
  PutValue(value, size);
}

void BlockCoder::PutEndOfBlock(Component component) {
  PutSymbol(component, false, codec::kEndOfBlock);
}

void BlockCoder::PutZeroRun(Component component) {
  PutSymbol(component, false, codec::kZeroRun);
}

void BlockCoder::CodeBlock(Component component, const std::array<std::int16_t, 64>& quantised) {
  PutDcDifference(component, quantised[0] - predictor_[component]);
  int run = 0;
  for (int k = 1; k < 64; ++k) {
    const int value = quantised[codec::kZigzag[k]];
    if (value == 0) {
      ++run;
      continue;
    }
    for (; run >= 16; run -= 16) PutZeroRun(component);
    PutAc(component, run, value);
    run = 0;
  }
  if (run != 0) PutEndOfBlock(component);
}

std::array<std::int16_t, 64> TransformAndQuantise(const std::uint8_t* samples,
                                                  const codec::QuantTable& table) {
  static const auto kCosines = [] {
    std::array<std::array<double, 8>, 8> c{};
    for (int u = 0; u < 8; ++u) {
      const double scale = u == 0 ? std::sqrt(0.125) : 0.5;
      for (int x = 0; x < 8; ++x) {
        c[u][x] = scale * std::cos((2 * x + 1) * u * std::numbers::pi / 16);
      }
    }
    return c;
  }();
  double rows[8][8];
  for (int y = 0; y < 8; ++y) {
    for (int u = 0; u < 8; ++u) {
      double sum = 0;
      for (int x = 0; x < 8; ++x) sum += kCosines[u][x] * (samples[y * 8 + x] - 128.0);
      rows[y][u] = sum;
    }
  }
  std::array<std::int16_t, 64> result{};
  for (int v = 0; v < 8; ++v) {
    for (int u = 0; u < 8; ++u) {
      double sum = 0;
      for (int y = 0; y < 8; ++y) sum += kCosines[v][y] * rows[y][u];
      // The orthonormal transform gives DC = 8 x mean; the camera's scale is the same.
      const long q = std::lround(sum / table[v * 8 + u]);
      const long limit = v == 0 && u == 0 ? 2047 : 1023;
      result[v * 8 + u] = static_cast<std::int16_t>(std::clamp(q, -limit, limit));
    }
  }
  return result;
}

PlanarImage::PlanarImage(int width, int height, Sampling sampling)
    : width(width), height(height), sampling(sampling) {
  pixels.assign(static_cast<std::size_t>(width) * height +
                    2 * static_cast<std::size_t>(chroma_width()) * chroma_height(),
                128);
}

std::uint8_t* PlanarImage::plane(int component) {
  return const_cast<std::uint8_t*>(std::as_const(*this).plane(component));
}

const std::uint8_t* PlanarImage::plane(int component) const {
  const std::size_t luma = static_cast<std::size_t>(width) * height;
  const std::size_t chroma = static_cast<std::size_t>(chroma_width()) * chroma_height();
  return pixels.data() + (component == 0 ? 0 : luma + (component - 1) * chroma);
}

namespace {

// The 8x8 block at (x, y) of a plane, repeating the last row and column where
// the block reaches past them.
void GatherBlock(const PlanarImage& image, int component, int x, int y, std::uint8_t* block) {
  const std::uint8_t* plane = image.plane(component);
  const int w = image.plane_width(component), h = image.plane_height(component);
  for (int r = 0; r < 8; ++r) {
    const int row = std::min(y + r, h - 1);
    for (int c = 0; c < 8; ++c) block[r * 8 + c] = plane[row * w + std::min(x + c, w - 1)];
  }
}

}  // namespace

std::vector<std::uint8_t> EncodeFrame(const PlanarImage& image, std::int32_t qtable_index) {
  const codec::QuantPair& pair = codec::SelectQuantPair(qtable_index);
  const codec::MacroblockShape& shape = codec::ShapeOf(image.sampling);
  BitWriter writer;
  BlockCoder coder(writer);
  std::uint8_t block[64];
  for (int y = 0; y < image.height; y += shape.height) {
    for (int x = 0; x < image.width; x += 16) {
      for (int b = 0; b < shape.blocks; ++b) {
        const auto component = static_cast<Component>(shape.component[b]);
        if (component == kY) {
          GatherBlock(image, 0, x + (b & 1) * 8, y + (b >> 1) * 8, block);
        } else {
          const int chroma_y = image.sampling == Sampling::k420 ? y / 2 : y;
          GatherBlock(image, component, x / 2, chroma_y, block);
        }
        coder.CodeBlock(component,
                        TransformAndQuantise(block, component == kY ? pair.luma : pair.chroma));
      }
    }
  }
  return writer.Finish();
}

}  // namespace veltocam::sim
