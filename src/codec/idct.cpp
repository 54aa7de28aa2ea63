#include "codec/idct.h"

#include <cstring>

namespace veltocam::codec {
namespace {

// Arithmetic is on 32-bit two's complement, wrapping: the unsigned type gives
// that without undefined behaviour, and right shifts go through the signed type.
using Word = std::uint32_t;

Word Sar(Word value, int shift) {
  return static_cast<Word>(static_cast<std::int32_t>(value) >> shift);
}

std::uint8_t Clamp(std::int32_t value) {
  return static_cast<std::uint8_t>(value < 0 ? 0 : (value > 255 ? 255 : value));
}

// One 1-D pass over x[0], x[stride], ... x[7 * stride]. The row pass shifts the
// odd part after its products, the column pass before them; samples depend on it.
template <bool kColumn>
void Kernel(const Word* x, int stride, Word* out) {
  const Word x0 = x[0], x1 = x[stride], x2 = x[2 * stride], x3 = x[3 * stride];
  const Word x4 = x[4 * stride], x5 = x[5 * stride], x6 = x[6 * stride], x7 = x[7 * stride];
  constexpr Word kRound = kColumn ? 1024 : 512;

  const Word a = (x0 + x4) << 9;
  const Word b = (x0 - x4) << 9;
  const Word t = 277 * (x2 + x6);
  const Word t1 = t + 392 * x2;
  const Word t2 = t - 946 * x6;
  const Word e0 = a + t1 + kRound, e3 = a - t1 + kRound;
  const Word e1 = b + t2 + kRound, e2 = b - t2 + kRound;

  const Word sum17 = (x1 + x7) << 7;
  const Word diff17 = (x1 - x7) << 7;
  Word p = sum17 + 181 * x3, r = sum17 - 181 * x3;
  Word q = diff17 + 181 * x5, s = diff17 - 181 * x5;
  Word o0, o1, o2, o3;
  if (kColumn) {
    p = Sar(p, 6), q = Sar(q, 6), r = Sar(r, 6), s = Sar(s, 6);
    o0 = 213 * (p + q) - 71 * q;
    o3 = 213 * (p + q) - 355 * p;
    o1 = 251 * (r + s) - 201 * r;
    o2 = 251 * (r + s) - 301 * s;
  } else {
    o0 = Sar(213 * (p + q) - 71 * q, 6);
    o3 = Sar(213 * (p + q) - 355 * p, 6);
    o1 = Sar(251 * (r + s) - 201 * r, 6);
    o2 = Sar(251 * (r + s) - 301 * s, 6);
  }
  constexpr int kShift = kColumn ? 11 : 10;
  out[0] = Sar(e0 + o0, kShift);
  out[1] = Sar(e1 + o1, kShift);
  out[2] = Sar(e2 + o2, kShift);
  out[3] = Sar(e3 + o3, kShift);
  out[4] = Sar(e3 - o3, kShift);
  out[5] = Sar(e2 - o2, kShift);
  out[6] = Sar(e1 - o1, kShift);
  out[7] = Sar(e0 - o0, kShift);
}

}  // namespace

void InverseDctScalar(std::int32_t* coefficients, std::uint8_t* samples) {
  Word in[64];
  std::memcpy(in, coefficients, sizeof in);
  Word rows[64];
  for (int row = 0; row < 8; ++row) Kernel<false>(in + row, 8, rows + row * 8);
  for (int column = 0; column < 8; ++column) {
    Word out[8];
    Kernel<true>(rows + column, 8, out);
    for (int row = 0; row < 8; ++row) {
      samples[row * 8 + column] = Clamp(static_cast<std::int32_t>(out[row]) + 128);
    }
  }
  std::memset(coefficients, 0, 64 * sizeof(std::int32_t));
}

std::uint8_t DcOnlySample(std::int32_t dc) {
  // The row pass leaves (DC * 512 + 512) >> 10 across row 0 and zeros below it
  // (a zero row stays zero); the column pass then sees one value per column.
  const Word row = Sar((static_cast<Word>(dc) << 9) + 512, 10);
  return Clamp(static_cast<std::int32_t>(Sar((row << 9) + 1024, 11)) + 128);
}

InverseDctFunction BestInverseDct() {
  static const InverseDctFunction best =
      __builtin_cpu_supports("avx2") ? InverseDctAvx2 : InverseDctScalar;
  return best;
}

}  // namespace veltocam::codec
