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
      : begin_(data), next_(data), end_(data + (readable_bytes > 0 ? readable_bytes : 0)) {
    Refill();
  }

  // Tops the window up to at least 56 valid bits. Away from the end it takes no
  // branch that depends on the data: it loads eight bytes, keeps the whole bytes
  // that fit, and the bits below them are the true next bits, which the next
  // load writes again unchanged.
  void Refill() {
    if (end_ - next_ >= 8) {
      std::uint64_t word;
      std::memcpy(&word, next_, sizeof word);
      buffer_ |= __builtin_bswap64(word) >> count_;
      next_ += (63 - count_) >> 3;
      count_ |= 56;
      return;
    }
    while (count_ <= 56) {
      std::uint64_t byte = 0;
      if (next_ < end_) {
        byte = *next_++;
      } else {
        ++zeros_;
      }
      buffer_ |= byte << (56 - count_);
      count_ += 8;
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
  // As Take, and 0 for n = 0 (0 <= n <= count()).
  std::uint32_t TakeUpTo(int n) {
    const auto bits = static_cast<std::uint32_t>((buffer_ >> 1) >> (63 - n));
    Skip(n);
    return bits;
  }

  // Bits taken since the start of the data.
  std::int64_t Consumed() const { return ((next_ - begin_) + zeros_) * 8 - count_; }

 private:
  std::uint64_t buffer_ = 0;  // next bit in the top position
  int count_ = 0;             // valid bits in buffer_
  const std::uint8_t* begin_;
  const std::uint8_t* next_;
  const std::uint8_t* end_;
  std::int64_t zeros_ = 0;  // bytes past the end, read as zero
};

// T.81 EXTEND: value bits with a leading 0 stand for a negative number.
// Without a branch: the sign of a value is no more predictable than the value.
inline std::int32_t Extend(std::uint32_t bits, int size) {
  const auto negative = static_cast<std::uint32_t>((bits >> (size - 1)) == 0);
  return static_cast<std::int32_t>(bits - (negative << size) + negative);
}

}  // namespace veltocam::codec
