// RGB24 conversion 16 pixels of two rows at a time: the chroma terms of 8
// chroma samples come from one multiply-add each in 32 bits and are then added
// to the luma in 16 bits; the pack saturates to 0..255, which is the clamp.
#include <tmmintrin.h>

#include "pipeline/rgb24_rows.h"

namespace {

#define SSSE3_INLINE __attribute__((target("ssse3"), always_inline)) inline

struct Terms {
  __m128i red[2], green[2], blue[2];  // [0]: pixels 0-7, [1]: pixels 8-15
};

SSSE3_INLINE __m128i Term(__m128i uvLow, __m128i uvHigh, int coefficients) {
  const __m128i k = _mm_set1_epi32(coefficients);
  return _mm_packs_epi32(_mm_srai_epi32(_mm_madd_epi16(uvLow, k), 10),
                         _mm_srai_epi32(_mm_madd_epi16(uvHigh, k), 10));
}

SSSE3_INLINE void Widen(__m128i term, __m128i* pixels) {
  pixels[0] = _mm_unpacklo_epi16(term, term);
  pixels[1] = _mm_unpackhi_epi16(term, term);
}

SSSE3_INLINE Terms ChromaTerms8(const UCHAR* u, const UCHAR* v) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i bias = _mm_set1_epi16(128);
  const __m128i du = _mm_sub_epi16(
      _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(u)), zero), bias);
  const __m128i dv = _mm_sub_epi16(
      _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(v)), zero), bias);
  const __m128i uvLow = _mm_unpacklo_epi16(du, dv);
  const __m128i uvHigh = _mm_unpackhi_epi16(du, dv);
  Terms terms;
  Widen(Term(uvLow, uvHigh, kRedPair), terms.red);
  Widen(Term(uvLow, uvHigh, kGreenPair), terms.green);
  Widen(Term(uvLow, uvHigh, kBluePair), terms.blue);
  return terms;
}

SSSE3_INLINE __m128i Channel(__m128i lumaLow, __m128i lumaHigh, const __m128i* term) {
  return _mm_packus_epi16(_mm_add_epi16(lumaLow, term[0]), _mm_add_epi16(lumaHigh, term[1]));
}

SSSE3_INLINE __m128i Mask(int chunk, int channel) {
  return _mm_load_si128(reinterpret_cast<const __m128i*>(kInterleaveMasks.Mask[chunk][channel]));
}

SSSE3_INLINE void StoreRow(const UCHAR* luma, const Terms& terms, UCHAR* out) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(luma));
  const __m128i low = _mm_unpacklo_epi8(y, zero);
  const __m128i high = _mm_unpackhi_epi8(y, zero);
  const __m128i channel[3] = {Channel(low, high, terms.blue), Channel(low, high, terms.green),
                              Channel(low, high, terms.red)};
  for (int chunk = 0; chunk < 3; ++chunk) {
    __m128i bytes = _mm_shuffle_epi8(channel[0], Mask(chunk, 0));
    bytes = _mm_or_si128(bytes, _mm_shuffle_epi8(channel[1], Mask(chunk, 1)));
    bytes = _mm_or_si128(bytes, _mm_shuffle_epi8(channel[2], Mask(chunk, 2)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * chunk), bytes);
  }
}

}  // namespace

__attribute__((target("ssse3"))) ULONG ConvertPairSsse3(const RgbRowPair& rows, ULONG from,
                                                        ULONG width) {
  ULONG x = from;
  for (; x + 16 <= width; x += 16) {
    const Terms terms = ChromaTerms8(rows.U + x / 2, rows.V + x / 2);
    StoreRow(rows.LumaTop + x, terms, rows.OutTop + 3 * x);
    StoreRow(rows.LumaBottom + x, terms, rows.OutBottom + 3 * x);
  }
  return x;
}
