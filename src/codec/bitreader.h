// Reads the coded bits most significant first through a 64-bit window, eight
// bytes per load where the data allows. Bytes past the readable end read as zero
// and are never fetched, so no input can make the reader overrun its buffer.
#pragma once

#include <cstdint>
#include <cstring>

namespace veltocam::codec {

class BitReader {
 public:
  BitReader(const std::uint8_t* data, std::int64_t readable_bytes)
      : next_(data), end_(data + (readable_bytes > 0 ? readable_bytes : 0)) {
    Refill();
  }

  // Tops the window up to at least 56 valid bits. Call it with at most 56.
  void Refill() {
    if (end_ - next_ >= 8) {
      std::uint64_t word;
      std::memcpy(&word, next_, sizeof word);
      buffer_ |= __builtin_bswap64(word) >> count_;
      const int bytes = (63 - count_) >> 3;
      next_ += bytes;
      count_ += bytes * 8;
      loaded_bits_ += bytes * 8;
      return;
    }
    while (count_ <= 56) {
      const std::uint64_t byte = next_ < end_ ? *next_++ : 0;
      buffer_ |= byte << (56 - count_);
      count_ += 8;
      loaded_bits_ += 8;
    }
  }

  int count() const { return count_; }

  // The next n bits (1 <= n <= count()).
  std::uint32_t Peek(int n) const { return static_cast<std::uint32_t>(buffer_ >> (64 - n)); }
  void Skip(int n) {
    buffer_ <<= n;
    count_ -= n;
  }
  std::uint32_t Take(int n) {
    const std::uint32_t bits = Peek(n);
    Skip(n);
    return bits;
  }

  // Bits taken since the start of the data.
  std::int64_t Consumed() const { return loaded_bits_ - count_; }

 private:
  std::uint64_t buffer_ = 0;  // next bit in the top position
  int count_ = 0;             // valid bits in buffer_
  const std::uint8_t* next_;
  const std::uint8_t* end_;
  std::int64_t loaded_bits_ = 0;
};

// T.81 EXTEND: value bits with a leading 0 stand for a negative number.
inline std::int32_t Extend(std::uint32_t bits, int size) {
  const std::int32_t value = static_cast<std::int32_t>(bits);
  return bits < (1u << (size - 1)) ? value - static_cast<std::int32_t>((1u << size) - 1) : value;
}

}  // namespace veltocam::codec
