// The RGB24 converter's inner pieces, shared by its plain and vector forms.
#pragma once

#include "platform/ntdef.h"

// Two luma rows that share a chroma row, and the output rows they become.
struct RgbRowPair {
  const UCHAR* LumaTop;
  const UCHAR* LumaBottom;
  const UCHAR* U;
  const UCHAR* V;
  UCHAR* OutTop;
  UCHAR* OutBottom;
};

// What one chroma sample adds to the luma of its four pixels. 1024 Y is a
// multiple of 1024, so (1024 Y + t) >> 10 = Y + (t >> 10) exactly.
struct ChromaTerms {
  int Red;
  int Green;
  int Blue;
};

inline ChromaTerms ChromaTermsOf(UCHAR u, UCHAR v) {
  const int du = u - 128;
  const int dv = v - 128;
  return {(1435 * dv - du) >> 10, (-352 * du - 731 * dv) >> 10, (1815 * du + dv) >> 10};
}

inline UCHAR ClampSample(int value) {
  return static_cast<UCHAR>(value < 0 ? 0 : value > 255 ? 255 : value);
}

// Converts pixels [from, width) of a row pair one at a time.
inline void ConvertPairTail(const RgbRowPair& rows, ULONG from, ULONG width) {
  for (ULONG x = from; x < width; ++x) {
    const ChromaTerms terms = ChromaTermsOf(rows.U[x / 2], rows.V[x / 2]);
    UCHAR* top = rows.OutTop + 3 * x;
    UCHAR* bottom = rows.OutBottom + 3 * x;
    top[0] = ClampSample(rows.LumaTop[x] + terms.Blue);
    top[1] = ClampSample(rows.LumaTop[x] + terms.Green);
    top[2] = ClampSample(rows.LumaTop[x] + terms.Red);
    bottom[0] = ClampSample(rows.LumaBottom[x] + terms.Blue);
    bottom[1] = ClampSample(rows.LumaBottom[x] + terms.Green);
    bottom[2] = ClampSample(rows.LumaBottom[x] + terms.Red);
  }
}

// The chroma terms' coefficients as (U', V') pairs for 16-bit multiply-adds:
// the low half multiplies U', the high half V'.
constexpr int CoefficientPair(int onU, int onV) {
  return static_cast<int>(static_cast<unsigned>(onV) << 16 | (static_cast<unsigned>(onU) & 0xFFFF));
}
constexpr int kRedPair = CoefficientPair(-1, 1435);
constexpr int kGreenPair = CoefficientPair(-352, -731);
constexpr int kBluePair = CoefficientPair(1815, 1);

// Byte shuffles that interleave 16 blue, 16 green and 16 red samples into 48
// bytes of B, G, R pixels: Mask[output chunk][channel][lane] picks the pixel
// for that output byte from the channel's register, or 0x80 (zero) when the
// byte belongs to another channel.
struct InterleaveMasks {
  alignas(16) UCHAR Mask[3][3][16];
};

constexpr InterleaveMasks MakeInterleaveMasks() {
  InterleaveMasks masks{};
  for (int chunk = 0; chunk < 3; ++chunk) {
    for (int channel = 0; channel < 3; ++channel) {
      for (int lane = 0; lane < 16; ++lane) {
        const int byte = 16 * chunk + lane;
        masks.Mask[chunk][channel][lane] =
            byte % 3 == channel ? static_cast<UCHAR>(byte / 3) : static_cast<UCHAR>(0x80);
      }
    }
  }
  return masks;
}

inline constexpr InterleaveMasks kInterleaveMasks = MakeInterleaveMasks();

// Each converts pixels from `from` on in whole vectors and returns where it
// stopped (a multiple of its vector width past `from`, at most `width`).
ULONG ConvertPairSsse3(const RgbRowPair& rows, ULONG from, ULONG width);
ULONG ConvertPairAvx2(const RgbRowPair& rows, ULONG from, ULONG width);
