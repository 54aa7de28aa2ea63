// RGB24 conversion 32 pixels of two rows at a time, the AVX2 form of the SSSE3
// one. Unpacks and packs work within 128-bit lanes, so each lane carries 16
// pixels of its own: pixels 0-15 in the low lane and 16-31 in the high one.
#include <immintrin.h>

#include "pipeline/rgb24_rows.h"

namespace {

#define AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline

struct Terms {
  // [0]: pixels 0-7 | 16-23, [1]: pixels 8-15 | 24-31, matching the luma unpacks.
  __m256i red[2], green[2], blue[2];
};

AVX2_INLINE __m256i Term(__m256i uvLow, __m256i uvHigh, int coefficients) {
  const __m256i k = _mm256_set1_epi32(coefficients);
  return _mm256_packs_epi32(_mm256_srai_epi32(_mm256_madd_epi16(uvLow, k), 10),
                            _mm256_srai_epi32(_mm256_madd_epi16(uvHigh, k), 10));
}

AVX2_INLINE void Widen(__m256i term, __m256i* pixels) {
  pixels[0] = _mm256_unpacklo_epi16(term, term);
  pixels[1] = _mm256_unpackhi_epi16(term, term);
}

AVX2_INLINE Terms ChromaTerms16(const UCHAR* u, const UCHAR* v) {
  const __m256i bias = _mm256_set1_epi16(128);
  // Chroma 0-7 in the low lane and 8-15 in the high one; after the lane-wise
  // unpack, multiply-add and pack they stay in that order.
  const __m256i du = _mm256_sub_epi16(
      _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(u))), bias);
  const __m256i dv = _mm256_sub_epi16(
      _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(v))), bias);
  const __m256i uvLow = _mm256_unpacklo_epi16(du, dv);
  const __m256i uvHigh = _mm256_unpackhi_epi16(du, dv);
  Terms terms;
  Widen(Term(uvLow, uvHigh, kRedPair), terms.red);
  Widen(Term(uvLow, uvHigh, kGreenPair), terms.green);
  Widen(Term(uvLow, uvHigh, kBluePair), terms.blue);
  return terms;
}

AVX2_INLINE __m256i Channel(__m256i lumaLow, __m256i lumaHigh, const __m256i* term) {
  return _mm256_packus_epi16(_mm256_add_epi16(lumaLow, term[0]),
                             _mm256_add_epi16(lumaHigh, term[1]));
}

AVX2_INLINE __m256i Mask(int chunk, int channel) {
  return _mm256_broadcastsi128_si256(
      _mm_load_si128(reinterpret_cast<const __m128i*>(kInterleaveMasks.Mask[chunk][channel])));
}

AVX2_INLINE void StoreRow(const UCHAR* luma, const Terms& terms, UCHAR* out) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(luma));
  const __m256i low = _mm256_unpacklo_epi8(y, zero);
  const __m256i high = _mm256_unpackhi_epi8(y, zero);
  const __m256i channel[3] = {Channel(low, high, terms.blue), Channel(low, high, terms.green),
                              Channel(low, high, terms.red)};
  __m256i chunk[3];
  for (int c = 0; c < 3; ++c) {
    chunk[c] = _mm256_shuffle_epi8(channel[0], Mask(c, 0));
    chunk[c] = _mm256_or_si256(chunk[c], _mm256_shuffle_epi8(channel[1], Mask(c, 1)));
    chunk[c] = _mm256_or_si256(chunk[c], _mm256_shuffle_epi8(channel[2], Mask(c, 2)));
  }
  // Low lanes hold output bytes 0-47, high lanes bytes 48-95.
  auto* o = reinterpret_cast<__m256i*>(out);
  _mm256_storeu_si256(o, _mm256_permute2x128_si256(chunk[0], chunk[1], 0x20));
  _mm256_storeu_si256(o + 1, _mm256_permute2x128_si256(chunk[2], chunk[0], 0x30));
  _mm256_storeu_si256(o + 2, _mm256_permute2x128_si256(chunk[1], chunk[2], 0x31));
}

}  // namespace

__attribute__((target("avx2"))) ULONG ConvertPairAvx2(const RgbRowPair& rows, ULONG from,
                                                      ULONG width) {
  ULONG x = from;
  for (; x + 32 <= width; x += 32) {
    const Terms terms = ChromaTerms16(rows.U + x / 2, rows.V + x / 2);
    StoreRow(rows.LumaTop + x, terms, rows.OutTop + 3 * x);
    StoreRow(rows.LumaBottom + x, terms, rows.OutBottom + 3 * x);
  }
  return x;
}
