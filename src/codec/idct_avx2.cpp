// The inverse DCT on eight lanes at once: the coefficients come column by column,
// so the row pass runs on all rows at once as loaded; one transpose, then the
// column pass on all columns. Same operations and the same 32-bit wrapping as
// the scalar form, so the same samples.
#include <immintrin.h>

#include "codec/idct.h"

namespace veltocam::codec {
namespace {

#define VELTOCAM_AVX2 __attribute__((target("avx2"), always_inline)) inline

VELTOCAM_AVX2 __m256i Mul(__m256i v, int k) {
  return _mm256_mullo_epi32(v, _mm256_set1_epi32(k));
}
VELTOCAM_AVX2 __m256i Add(__m256i a, __m256i b) {
  return _mm256_add_epi32(a, b);
}
VELTOCAM_AVX2 __m256i Sub(__m256i a, __m256i b) {
  return _mm256_sub_epi32(a, b);
}

VELTOCAM_AVX2 void Transpose(__m256i* v) {
  const __m256i t0 = _mm256_unpacklo_epi32(v[0], v[1]), t1 = _mm256_unpackhi_epi32(v[0], v[1]);
  const __m256i t2 = _mm256_unpacklo_epi32(v[2], v[3]), t3 = _mm256_unpackhi_epi32(v[2], v[3]);
  const __m256i t4 = _mm256_unpacklo_epi32(v[4], v[5]), t5 = _mm256_unpackhi_epi32(v[4], v[5]);
  const __m256i t6 = _mm256_unpacklo_epi32(v[6], v[7]), t7 = _mm256_unpackhi_epi32(v[6], v[7]);
  const __m256i u0 = _mm256_unpacklo_epi64(t0, t2), u1 = _mm256_unpackhi_epi64(t0, t2);
  const __m256i u2 = _mm256_unpacklo_epi64(t1, t3), u3 = _mm256_unpackhi_epi64(t1, t3);
  const __m256i u4 = _mm256_unpacklo_epi64(t4, t6), u5 = _mm256_unpackhi_epi64(t4, t6);
  const __m256i u6 = _mm256_unpacklo_epi64(t5, t7), u7 = _mm256_unpackhi_epi64(t5, t7);
  v[0] = _mm256_permute2x128_si256(u0, u4, 0x20);
  v[1] = _mm256_permute2x128_si256(u1, u5, 0x20);
  v[2] = _mm256_permute2x128_si256(u2, u6, 0x20);
  v[3] = _mm256_permute2x128_si256(u3, u7, 0x20);
  v[4] = _mm256_permute2x128_si256(u0, u4, 0x31);
  v[5] = _mm256_permute2x128_si256(u1, u5, 0x31);
  v[6] = _mm256_permute2x128_si256(u2, u6, 0x31);
  v[7] = _mm256_permute2x128_si256(u3, u7, 0x31);
}

template <bool kColumn>
VELTOCAM_AVX2 void Kernel(__m256i* x) {
  const __m256i round = _mm256_set1_epi32(kColumn ? 1024 : 512);
  const __m256i a = _mm256_slli_epi32(Add(x[0], x[4]), 9);
  const __m256i b = _mm256_slli_epi32(Sub(x[0], x[4]), 9);
  const __m256i t = Mul(Add(x[2], x[6]), 277);
  const __m256i t1 = Add(t, Mul(x[2], 392));
  const __m256i t2 = Sub(t, Mul(x[6], 946));
  const __m256i e0 = Add(Add(a, t1), round), e3 = Add(Sub(a, t1), round);
  const __m256i e1 = Add(Add(b, t2), round), e2 = Add(Sub(b, t2), round);

  const __m256i sum17 = _mm256_slli_epi32(Add(x[1], x[7]), 7);
  const __m256i diff17 = _mm256_slli_epi32(Sub(x[1], x[7]), 7);
  const __m256i x3 = Mul(x[3], 181), x5 = Mul(x[5], 181);
  __m256i p = Add(sum17, x3), r = Sub(sum17, x3);
  __m256i q = Add(diff17, x5), s = Sub(diff17, x5);
  __m256i o0, o1, o2, o3;
  if (kColumn) {
    p = _mm256_srai_epi32(p, 6), q = _mm256_srai_epi32(q, 6);
    r = _mm256_srai_epi32(r, 6), s = _mm256_srai_epi32(s, 6);
  }
  const __m256i pq = Mul(Add(p, q), 213), rs = Mul(Add(r, s), 251);
  o0 = Sub(pq, Mul(q, 71));
  o3 = Sub(pq, Mul(p, 355));
  o1 = Sub(rs, Mul(r, 201));
  o2 = Sub(rs, Mul(s, 301));
  if (!kColumn) {
    o0 = _mm256_srai_epi32(o0, 6), o1 = _mm256_srai_epi32(o1, 6);
    o2 = _mm256_srai_epi32(o2, 6), o3 = _mm256_srai_epi32(o3, 6);
  }
  constexpr int kShift = kColumn ? 11 : 10;
  x[0] = _mm256_srai_epi32(Add(e0, o0), kShift);
  x[1] = _mm256_srai_epi32(Add(e1, o1), kShift);
  x[2] = _mm256_srai_epi32(Add(e2, o2), kShift);
  x[3] = _mm256_srai_epi32(Add(e3, o3), kShift);
  x[4] = _mm256_srai_epi32(Sub(e3, o3), kShift);
  x[5] = _mm256_srai_epi32(Sub(e2, o2), kShift);
  x[6] = _mm256_srai_epi32(Sub(e1, o1), kShift);
  x[7] = _mm256_srai_epi32(Sub(e0, o0), kShift);
}

// Rows i and i + 1 .. i + 3 as 32 samples, limited to 0..255 by the saturating packs.
VELTOCAM_AVX2 __m256i PackRows(const __m256i* rows) {
  const __m256i bias = _mm256_set1_epi32(128);
  const __m256i r01 = _mm256_packs_epi32(Add(rows[0], bias), Add(rows[1], bias));
  const __m256i r23 = _mm256_packs_epi32(Add(rows[2], bias), Add(rows[3], bias));
  const __m256i bytes = _mm256_packus_epi16(r01, r23);
  return _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
}

// Loads the block, leaves it zero, and transforms it into eight rows of eight
// 32-bit samples (before the +128 and the limiting).
VELTOCAM_AVX2 void Transform(std::int32_t* coefficients, __m256i* v) {
  // Aligned accesses: generic tuning splits unaligned 256-bit ones in two.
  // Loads and stores written out: as loops the compiler turns them into piecewise
  // copies and string stores, far slower here.
  auto* in = reinterpret_cast<__m256i*>(coefficients);
  v[0] = _mm256_load_si256(in);
  v[1] = _mm256_load_si256(in + 1);
  v[2] = _mm256_load_si256(in + 2);
  v[3] = _mm256_load_si256(in + 3);
  v[4] = _mm256_load_si256(in + 4);
  v[5] = _mm256_load_si256(in + 5);
  v[6] = _mm256_load_si256(in + 6);
  v[7] = _mm256_load_si256(in + 7);
  const __m256i zero = _mm256_setzero_si256();
  _mm256_store_si256(in, zero);
  _mm256_store_si256(in + 1, zero);
  _mm256_store_si256(in + 2, zero);
  _mm256_store_si256(in + 3, zero);
  _mm256_store_si256(in + 4, zero);
  _mm256_store_si256(in + 5, zero);
  _mm256_store_si256(in + 6, zero);
  _mm256_store_si256(in + 7, zero);
  Kernel<false>(v);
  Transpose(v);
  Kernel<true>(v);
}

// Four rows of packed samples, 8 bytes each, to first_row + r * step.
VELTOCAM_AVX2 void StoreRows(__m256i rows, std::uint8_t* first_row, std::ptrdiff_t step) {
  const __m128i low = _mm256_castsi256_si128(rows);
  const __m128i high = _mm256_extracti128_si256(rows, 1);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(first_row), low);
  _mm_storeh_pd(reinterpret_cast<double*>(first_row + step), _mm_castsi128_pd(low));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(first_row + 2 * step), high);
  _mm_storeh_pd(reinterpret_cast<double*>(first_row + 3 * step), _mm_castsi128_pd(high));
}

}  // namespace

__attribute__((target("avx2"))) void InverseDctAvx2(std::int32_t* coefficients,
                                                    std::uint8_t* samples) {
  __m256i v[8];
  Transform(coefficients, v);
  auto* out = reinterpret_cast<__m256i*>(samples);
  _mm256_store_si256(out, PackRows(v));
  _mm256_store_si256(out + 1, PackRows(v + 4));
}

__attribute__((target("avx2"))) void InverseDctAvx2ToRows(std::int32_t* coefficients,
                                                          std::uint8_t* first_row,
                                                          std::ptrdiff_t step) {
  __m256i v[8];
  Transform(coefficients, v);
  StoreRows(PackRows(v), first_row, step);
  StoreRows(PackRows(v + 4), first_row + 4 * step, step);
}

}  // namespace veltocam::codec
