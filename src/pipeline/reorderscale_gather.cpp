// Scaled rows made with byte shuffles: every 16 destination samples come from
// at most 32 neighbouring source bytes when the scale factor is between 1/2
// and 16, which covers every size pair the camera's formats produce.
#include <tmmintrin.h>

#include "pipeline/scale_walk.h"

namespace {

constexpr ULONG kWindow = 2 * kGatherChunkSamples;  // source bytes one chunk may use
constexpr UCHAR kZeroLane = 0x80;

bool FillChunk(const USHORT* lines, ULONG sourceWidth, GatherChunk* chunk) {
  // Keep both 16-byte loads inside the source row.
  ULONG base = lines[0];
  if (base > sourceWidth - kWindow) base = sourceWidth - kWindow;
  chunk->Base = static_cast<USHORT>(base);
  for (ULONG i = 0; i < kGatherChunkSamples; ++i) {
    if (lines[i] < base || lines[i] - base >= kWindow) return false;
    const ULONG offset = lines[i] - base;
    chunk->Low[i] = offset < kGatherChunkSamples ? static_cast<UCHAR>(offset) : kZeroLane;
    chunk->High[i] =
        offset < kGatherChunkSamples ? kZeroLane : static_cast<UCHAR>(offset - kGatherChunkSamples);
  }
  return true;
}

}  // namespace

bool BuildRowGatherPlan(const UCHAR* map, USHORT mapLength, ULONG sourceWidth,
                        ULONG destinationWidth, RowGatherPlan* plan) {
  if (destinationWidth < kGatherChunkSamples || destinationWidth > kScaleMapSize ||
      sourceWidth < kWindow) {
    return false;
  }
  USHORT lines[kScaleMapSize];
  MapWalk walk(map, mapLength, sourceWidth, destinationWidth);
  for (ULONG x = 0; x < destinationWidth; ++x) lines[x] = static_cast<USHORT>(walk.Next());

  const ULONG chunks = (destinationWidth + kGatherChunkSamples - 1) / kGatherChunkSamples;
  for (ULONG c = 0; c < chunks; ++c) {
    // The last chunk ends at the row's end, overlapping its neighbour if need be.
    ULONG start = c * kGatherChunkSamples;
    if (start + kGatherChunkSamples > destinationWidth)
      start = destinationWidth - kGatherChunkSamples;
    if (!FillChunk(lines + start, sourceWidth, &plan->Chunk[c])) return false;
  }
  plan->Chunks = chunks;
  plan->Width = destinationWidth;
  return true;
}

__attribute__((target("ssse3"))) void GatherRowSsse3(const UCHAR* sourceRow,
                                                     const RowGatherPlan& plan,
                                                     UCHAR* destinationRow) {
  for (ULONG c = 0; c < plan.Chunks; ++c) {
    const GatherChunk& chunk = plan.Chunk[c];
    const UCHAR* window = sourceRow + chunk.Base;
    const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(window));
    const __m128i second =
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(window + kGatherChunkSamples));
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(chunk.Low));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(chunk.High));
    const __m128i samples =
        _mm_or_si128(_mm_shuffle_epi8(first, low), _mm_shuffle_epi8(second, high));
    ULONG start = c * kGatherChunkSamples;
    if (start + kGatherChunkSamples > plan.Width) start = plan.Width - kGatherChunkSamples;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(destinationRow + start), samples);
  }
}
