#include "pipeline/rgb24.h"

#include "pipeline/rgb24_rows.h"
#include "pipeline/simd_level.h"

namespace {

bool Convertible(ULONG width, ULONG height, const UCHAR* source, const UCHAR* destination) {
  return source != nullptr && destination != nullptr && width != 0 && height != 0 &&
         width % 2 == 0 && height % 2 == 0;
}

}  // namespace

void ConvertYuv420ToRgb24(DeviceContext* context, const UCHAR* source, UCHAR* destination) {
  const ULONG width = context->RealImageWidth;
  const ULONG height = context->RealImageHeight;
  if (!Convertible(width, height, source, destination)) return;
  const UCHAR* u = source + static_cast<SIZE_T>(width) * height;
  const UCHAR* v = u + static_cast<SIZE_T>(width / 2) * (height / 2);
  UCHAR* out = destination;
  for (ULONG r = height; r-- > 0;) {
    const UCHAR* luma = source + static_cast<SIZE_T>(r) * width;
    for (ULONG x = 0; x < width; ++x) {
      const SIZE_T c = static_cast<SIZE_T>(r / 2) * (width / 2) + x / 2;
      const int y = luma[x];
      const int du = u[c] - 128;
      const int dv = v[c] - 128;
      const int red = (1024 * y + 1435 * dv - du) >> 10;
      const int green = (1024 * y - 352 * du - 731 * dv) >> 10;
      const int blue = (1024 * y + 1815 * du + dv) >> 10;
      *out++ = ClampSample(blue);
      *out++ = ClampSample(green);
      *out++ = ClampSample(red);
    }
  }
}

void ConvertYuv420ToRgb24Using(SimdLevel level, ULONG width, ULONG height, const UCHAR* source,
                               UCHAR* destination) {
  if (!Convertible(width, height, source, destination)) return;
  if (level > BestSimdLevel()) level = BestSimdLevel();
  const SIZE_T rowBytes = static_cast<SIZE_T>(width) * 3;
  const UCHAR* u = source + static_cast<SIZE_T>(width) * height;
  const UCHAR* v = u + static_cast<SIZE_T>(width / 2) * (height / 2);
  for (ULONG pair = 0; pair < height / 2; ++pair) {
    const ULONG top = 2 * pair;
    // Rows are stored bottom-up: source row r goes to output row height - 1 - r.
    const RgbRowPair rows{
        source + static_cast<SIZE_T>(top) * width,   source + static_cast<SIZE_T>(top + 1) * width,
        u + static_cast<SIZE_T>(pair) * (width / 2), v + static_cast<SIZE_T>(pair) * (width / 2),
        destination + (height - 1 - top) * rowBytes, destination + (height - 2 - top) * rowBytes};
    ULONG done = 0;
    if (level == SimdLevel::Avx2) done = ConvertPairAvx2(rows, done, width);
    if (level != SimdLevel::Plain) done = ConvertPairSsse3(rows, done, width);
    ConvertPairTail(rows, done, width);
  }
}

void ConvertYuv420ToRgb24Mmx(DeviceContext* context, const UCHAR* source, UCHAR* destination) {
  ConvertYuv420ToRgb24Using(BestSimdLevel(), context->RealImageWidth, context->RealImageHeight,
                            source, destination);
}
