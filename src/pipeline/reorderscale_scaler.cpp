// Nearest-neighbour scaling of planar 4:2:0 pictures by the keep/repeat maps,
// and the unscaled placement of the sensor image on a grey picture.
#include <cstring>

#include "pipeline/reorderscale.h"
#include "pipeline/scale_walk.h"
#include "pipeline/simd_level.h"

namespace {

constexpr UCHAR kMidGrey = 0x80;

struct Plane {
  ULONG Width;
  ULONG Height;
};

struct AxisMap {
  const UCHAR* Map;
  USHORT Length;
};

struct PlaneMaps {
  AxisMap Rows;
  AxisMap Columns;
};

SIZE_T PictureBytes(ULONG width, ULONG height) {
  return static_cast<SIZE_T>(width) * height + 2 * static_cast<SIZE_T>(width / 2) * (height / 2);
}

ULONG CountOnes(const UCHAR* map, USHORT length) {
  ULONG ones = 0;
  for (USHORT i = 0; i < length; ++i) ones += map[i] != 0;
  return ones;
}

// An axis the maps must describe: equal sizes need no map; otherwise the maps
// must have been built for exactly these sizes (their lengths and the lines
// they keep), or the picture would come out misshapen.
bool AxisDescribed(ULONG destination, ULONG source, const UCHAR* luma, USHORT lumaLength,
                   const UCHAR* chroma, USHORT chromaLength) {
  if (destination == 0 || source == 0 || destination > kScaleMapSize || source > kScaleMapSize) {
    return false;
  }
  if (destination == source) return true;
  if (luma == nullptr || chroma == nullptr) return false;
  const ULONG longer = destination > source ? destination : source;
  const ULONG shorter = destination > source ? source : destination;
  return lumaLength == longer && chromaLength == longer / 2 &&
         CountOnes(luma, lumaLength) == shorter &&
         CountOnes(chroma, chromaLength) == longer / 2 - (longer - shorter) / 2;
}

bool MapsDescribe(const DeviceContext* context) {
  return AxisDescribed(context->ImageHeight, context->SensorImageHeight, context->p_ucScale_V_Buf_Y,
                       context->wScale_V_BufLen_Y, context->p_ucScale_V_Buf_UV,
                       context->wScale_V_BufLen_UV) &&
         AxisDescribed(context->ImageWidth, context->SensorImageWidth, context->p_ucScale_H_Buf_Y,
                       context->wScale_H_BufLen_Y, context->p_ucScale_H_Buf_UV,
                       context->wScale_H_BufLen_UV);
}

// Makes one destination row from one source row.
class RowMaker {
 public:
  RowMaker(SimdLevel level, const AxisMap& columns, ULONG sourceWidth, ULONG destinationWidth)
      : columns_(columns), sourceWidth_(sourceWidth), destinationWidth_(destinationWidth) {
    gather_ =
        level != SimdLevel::Plain && sourceWidth != destinationWidth &&
        BuildRowGatherPlan(columns.Map, columns.Length, sourceWidth, destinationWidth, &plan_);
  }

  void Make(const UCHAR* source, UCHAR* destination) const {
    if (sourceWidth_ == destinationWidth_) {
      std::memcpy(destination, source, destinationWidth_);
    } else if (gather_) {
      GatherRowSsse3(source, plan_, destination);
    } else {
      MapWalk walk(columns_.Map, columns_.Length, sourceWidth_, destinationWidth_);
      for (ULONG x = 0; x < destinationWidth_; ++x) destination[x] = source[walk.Next()];
    }
  }

 private:
  AxisMap columns_;
  ULONG sourceWidth_;
  ULONG destinationWidth_;
  bool gather_ = false;
  RowGatherPlan plan_;
};

// Scales the planes that share one set of maps (Y alone, or U and V in step).
void ScalePlanes(SimdLevel level, const PlaneMaps& maps, Plane source, Plane destination,
                 const UCHAR* const* sourcePlanes, UCHAR* const* destinationPlanes,
                 ULONG planeCount) {
  if (source.Width == destination.Width && source.Height == destination.Height) {
    for (ULONG p = 0; p < planeCount; ++p) {
      std::memcpy(destinationPlanes[p], sourcePlanes[p],
                  static_cast<SIZE_T>(source.Width) * source.Height);
    }
    return;
  }
  const RowMaker maker(level, maps.Columns, source.Width, destination.Width);
  MapWalk rows(maps.Rows.Map, maps.Rows.Length, source.Height, destination.Height);
  ULONG previous = 0;
  for (ULONG y = 0; y < destination.Height; ++y) {
    const ULONG line = rows.Next();
    for (ULONG p = 0; p < planeCount; ++p) {
      UCHAR* out = destinationPlanes[p] + static_cast<SIZE_T>(y) * destination.Width;
      if (y > 0 && line == previous) {
        // A repeated line: the row just made is the same.
        std::memcpy(out, out - destination.Width, destination.Width);
      } else {
        maker.Make(sourcePlanes[p] + static_cast<SIZE_T>(line) * source.Width, out);
      }
    }
    previous = line;
  }
}

}  // namespace

ULONG ScaleYuv420Using(SimdLevel level, DeviceContext* context, UCHAR* destination, ULONG size,
                       const UCHAR* source) {
  if (destination == nullptr || source == nullptr || !MapsDescribe(context)) return 0;
  const Plane from{context->SensorImageWidth, context->SensorImageHeight};
  const Plane to{context->ImageWidth, context->ImageHeight};
  if (PictureBytes(to.Width, to.Height) > size) return 0;
  if (level > BestSimdLevel()) level = BestSimdLevel();

  const PlaneMaps luma{{context->p_ucScale_V_Buf_Y, context->wScale_V_BufLen_Y},
                       {context->p_ucScale_H_Buf_Y, context->wScale_H_BufLen_Y}};
  const UCHAR* const lumaIn[] = {source};
  UCHAR* const lumaOut[] = {destination};
  ScalePlanes(level, luma, from, to, lumaIn, lumaOut, 1);

  const PlaneMaps chroma{{context->p_ucScale_V_Buf_UV, context->wScale_V_BufLen_UV},
                         {context->p_ucScale_H_Buf_UV, context->wScale_H_BufLen_UV}};
  const Plane fromChroma{from.Width / 2, from.Height / 2};
  const Plane toChroma{to.Width / 2, to.Height / 2};
  const SIZE_T fromChromaBytes = static_cast<SIZE_T>(fromChroma.Width) * fromChroma.Height;
  const SIZE_T toChromaBytes = static_cast<SIZE_T>(toChroma.Width) * toChroma.Height;
  const UCHAR* const uIn = source + static_cast<SIZE_T>(from.Width) * from.Height;
  UCHAR* const uOut = destination + static_cast<SIZE_T>(to.Width) * to.Height;
  const UCHAR* const chromaIn[] = {uIn, uIn + fromChromaBytes};
  UCHAR* const chromaOut[] = {uOut, uOut + toChromaBytes};
  ScalePlanes(level, chroma, fromChroma, toChroma, chromaIn, chromaOut, 2);
  return size;
}

ULONG ScaleYuv420(DeviceContext* context, UCHAR* destination, ULONG size, const UCHAR* source) {
  return ScaleYuv420Using(BestSimdLevel(), context, destination, size, source);
}

ULONG PlaceVgaImage(DeviceContext* context, UCHAR* destination, ULONG size) {
  const Plane from{context->SensorImageWidth, context->SensorImageHeight};
  const Plane to{context->ImageWidth, context->ImageHeight};
  const UCHAR* source = context->RawImageBuffer;
  if (destination == nullptr || source == nullptr || to.Width == 0 || to.Height == 0 ||
      PictureBytes(to.Width, to.Height) > size ||
      PictureBytes(from.Width, from.Height) > kWorkBufferSize) {
    return 0;
  }
  // Plane by plane: each row gets the sensor row (clipped) and grey beyond it.
  for (int p = 0; p < 3; ++p) {
    const ULONG shift = p == 0 ? 0 : 1;
    const Plane in{from.Width >> shift, from.Height >> shift};
    const Plane out{to.Width >> shift, to.Height >> shift};
    const ULONG copyWidth = in.Width < out.Width ? in.Width : out.Width;
    const ULONG copyRows = in.Height < out.Height ? in.Height : out.Height;
    for (ULONG y = 0; y < out.Height; ++y) {
      UCHAR* row = destination + static_cast<SIZE_T>(y) * out.Width;
      const ULONG copied = y < copyRows ? copyWidth : 0;
      if (copied != 0) std::memcpy(row, source + static_cast<SIZE_T>(y) * in.Width, copied);
      std::memset(row + copied, kMidGrey, out.Width - copied);
    }
    source += static_cast<SIZE_T>(in.Width) * in.Height;
    destination += static_cast<SIZE_T>(out.Width) * out.Height;
  }
  return size;
}
