// The scaler's keep/repeat maps. Enlarging, entry 1 takes the next source line
// and 0 repeats the last one; reducing, 1 keeps the source line and 0 skips it.
#include "control/tracing.h"
#include "pipeline/reorderscale.h"

namespace {

struct AxisMaps {
  UCHAR* luma;
  USHORT* lumaLength;
  UCHAR* chroma;
  USHORT* chromaLength;
};

// Spreads `step` zero entries evenly over `entries`; returns the entries that are 1.
USHORT FillMap(UCHAR* map, USHORT entries, USHORT step) {
  USHORT accumulator = 0;
  USHORT ones = 0;
  for (USHORT i = 0; i < entries; ++i) {
    accumulator = static_cast<USHORT>(accumulator + step);
    if (accumulator >= entries) {
      accumulator = static_cast<USHORT>(accumulator - entries);
      map[i] = 0;
    } else {
      map[i] = 1;
      ++ones;
    }
  }
  return ones;
}

void SetLengths(const AxisMaps& maps, ULONG destination, ULONG source) {
  const ULONG longer = destination > source ? destination : source;
  // An axis longer than a map holds (or without maps) cannot be described;
  // the scaler refuses it.
  const bool fits = longer <= kScaleMapSize && maps.luma != nullptr && maps.chroma != nullptr;
  const USHORT length = fits ? static_cast<USHORT>(longer) : 0;
  *maps.lumaLength = length;
  *maps.chromaLength = static_cast<USHORT>(length / 2);
}

void FillAxis(const AxisMaps& maps, ULONG destination, ULONG source, const char* lumaTrace,
              const char* chromaTrace) {
  if (destination == source || *maps.lumaLength == 0) return;
  const ULONG larger = destination > source ? destination : source;
  const ULONG smaller = destination > source ? source : destination;
  const USHORT lumaOnes =
      FillMap(maps.luma, static_cast<USHORT>(larger), static_cast<USHORT>(larger - smaller));
  DebugTrace(lumaTrace, lumaOnes);
  const USHORT chromaOnes = FillMap(maps.chroma, static_cast<USHORT>(larger / 2),
                                    static_cast<USHORT>((larger - smaller) / 2));
  DebugTrace(chromaTrace, chromaOnes);
}

}  // namespace

void BuildScaleMaps(DeviceContext* context) {
  const AxisMaps rows{context->p_ucScale_V_Buf_Y, &context->wScale_V_BufLen_Y,
                      context->p_ucScale_V_Buf_UV, &context->wScale_V_BufLen_UV};
  const AxisMaps columns{context->p_ucScale_H_Buf_Y, &context->wScale_H_BufLen_Y,
                         context->p_ucScale_H_Buf_UV, &context->wScale_H_BufLen_UV};
  SetLengths(rows, context->ImageHeight, context->SensorImageHeight);
  SetLengths(columns, context->ImageWidth, context->SensorImageWidth);

  DebugTrace("#### videoContext->ImageHeight         = %d\n",
             static_cast<int>(context->ImageHeight));
  DebugTrace("#### deviceContext->SensorImageHeight  = %d\n",
             static_cast<int>(context->SensorImageHeight));
  DebugTrace("#### deviceContext->wScale_V_BufLen_Y  = %d\n", context->wScale_V_BufLen_Y);
  DebugTrace("#### deviceContext->wScale_V_BufLen_UV = %d\n", context->wScale_V_BufLen_UV);
  DebugTrace("#### videoContext->ImageWidth         = %d\n", static_cast<int>(context->ImageWidth));
  DebugTrace("#### deviceContext->SensorImageWidth  = %d\n",
             static_cast<int>(context->SensorImageWidth));
  DebugTrace("#### deviceContext->wScale_H_BufLen_Y  = %d\n", context->wScale_H_BufLen_Y);
  DebugTrace("#### deviceContext->wScale_H_BufLen_UV = %d\n", context->wScale_H_BufLen_UV);

  FillAxis(rows, context->ImageHeight, context->SensorImageHeight, "p_ucScale_V_Buf_Y = %d\n",
           "p_ucScale_V_Buf_UV = %d\n");
  FillAxis(columns, context->ImageWidth, context->SensorImageWidth, "p_ucScale_H_Buf_Y = %d\n",
           "p_ucScale_H_Buf_UV = %d\n");
}
