// The camera's raw frame: 384-byte macroblocks in raster order, each four Y
// blocks (top-left, top-right, bottom-left, bottom-right), then U, then V, every
// block 8 rows of 8 signed samples.
#include <cstring>

#include "pipeline/reorderscale.h"

namespace {

constexpr ULONG kBlockSide = 8;
constexpr ULONG kBlockBytes = kBlockSide * kBlockSide;
constexpr ULONG kMacroblockSide = 16;
constexpr unsigned long long kSignFlip = 0x8080808080808080ULL;

// Copies one 8x8 block to (x, y) of a plane, dropping what falls outside it.
void PutBlock(const UCHAR* block, UCHAR* plane, ULONG width, ULONG height, ULONG x, ULONG y) {
  if (x >= width || y >= height) return;
  const ULONG rows = height - y < kBlockSide ? height - y : kBlockSide;
  const ULONG columns = width - x < kBlockSide ? width - x : kBlockSide;
  UCHAR* out = plane + static_cast<SIZE_T>(y) * width + x;
  for (ULONG r = 0; r < rows; ++r, block += kBlockSide, out += width) {
    if (columns == kBlockSide) {
      unsigned long long samples;
      std::memcpy(&samples, block, sizeof samples);
      samples ^= kSignFlip;
      std::memcpy(out, &samples, sizeof samples);
    } else {
      for (ULONG c = 0; c < columns; ++c) out[c] = static_cast<UCHAR>(block[c] ^ 0x80);
    }
  }
}

}  // namespace

ULONG RawMacroblockFrameBytes(ULONG width, ULONG height) {
  const ULONG samples = width * height * 3 / 2;
  return (samples + kRawMacroblockBytes - 1) / kRawMacroblockBytes * kRawMacroblockBytes;
}

ULONG ReorderRawMacroblocks(const UCHAR* source, ULONG width, ULONG height, UCHAR* destination) {
  const ULONG total = RawMacroblockFrameBytes(width, height);
  if (width == 0 || height == 0) return 0;
  const ULONG chromaWidth = width / 2;
  const ULONG chromaHeight = height / 2;
  UCHAR* yPlane = destination;
  UCHAR* uPlane = yPlane + static_cast<SIZE_T>(width) * height;
  UCHAR* vPlane = uPlane + static_cast<SIZE_T>(chromaWidth) * chromaHeight;

  ULONG x = 0;
  ULONG row = 0;
  for (ULONG offset = 0; offset < total; offset += kRawMacroblockBytes) {
    const UCHAR* block = source + offset;
    PutBlock(block, yPlane, width, height, x, row);
    PutBlock(block + kBlockBytes, yPlane, width, height, x + kBlockSide, row);
    PutBlock(block + 2 * kBlockBytes, yPlane, width, height, x, row + kBlockSide);
    PutBlock(block + 3 * kBlockBytes, yPlane, width, height, x + kBlockSide, row + kBlockSide);
    PutBlock(block + 4 * kBlockBytes, uPlane, chromaWidth, chromaHeight, x / 2, row / 2);
    PutBlock(block + 5 * kBlockBytes, vPlane, chromaWidth, chromaHeight, x / 2, row / 2);
    x += kMacroblockSide;
    if (x >= width) {
      x = 0;
      row += kMacroblockSide;
    }
  }
  return total;
}
