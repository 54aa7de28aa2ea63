// Reading one axis of a keep/repeat map as "destination line i comes from
// source line n", and the shuffle plan the SIMD scaler derives from it.
#pragma once

#include "control/devicecontext.h"

// Yields, for destination lines 0, 1, 2, ..., the source line each is made
// from. Enlarging, a 1 entry takes the next source line and a 0 repeats the
// last; reducing, a 1 entry keeps its source line and a 0 skips it. The walk
// never names a line past the source, even for a map that does not fit the
// sizes (the chroma step drops the remainder of an odd size difference).
class MapWalk {
 public:
  MapWalk(const UCHAR* map, USHORT mapLength, ULONG source, ULONG destination)
      : map_(map),
        mapLength_(mapLength),
        last_(source == 0 ? 0 : source - 1),
        mode_(destination > source   ? Mode::Enlarge
              : destination < source ? Mode::Reduce
                                     : Mode::Same) {}

  ULONG Next() {
    switch (mode_) {
      case Mode::Same:
        return current_++;
      case Mode::Enlarge: {
        const bool take = position_ < mapLength_ && map_[position_] != 0;
        ++position_;
        if (take) {
          if (taken_ && current_ < last_) ++current_;
          taken_ = true;
        }
        return current_;
      }
      case Mode::Reduce:
        while (position_ < mapLength_ && position_ <= last_) {
          const ULONG line = position_++;
          if (map_[line] != 0) {
            current_ = line;
            break;
          }
        }
        return current_;
    }
    return current_;
  }

 private:
  enum class Mode { Same, Enlarge, Reduce };
  const UCHAR* map_;
  ULONG mapLength_;
  ULONG last_;
  Mode mode_;
  ULONG position_ = 0;
  ULONG current_ = 0;
  bool taken_ = false;
};

// Sixteen destination samples gathered from the 32 source bytes at Base with
// two byte shuffles: Low picks from the first 16, High from the second (0x80
// lanes give 0 and the two results are ORed).
struct GatherChunk {
  USHORT Base;
  UCHAR Low[16];
  UCHAR High[16];
};

constexpr ULONG kGatherChunkSamples = 16;

// The chunks that build one destination row; the last one may overlap the one
// before it so that every chunk is whole.
struct RowGatherPlan {
  ULONG Chunks;
  ULONG Width;  // destination samples
  GatherChunk Chunk[kScaleMapSize / kGatherChunkSamples];
};

// False when the row cannot be gathered this way (rows narrower than a chunk,
// a source narrower than two loads, or 16 samples spread over more than 32
// source bytes); the caller then walks the map.
bool BuildRowGatherPlan(const UCHAR* map, USHORT mapLength, ULONG sourceWidth,
                        ULONG destinationWidth, RowGatherPlan* plan);

void GatherRowSsse3(const UCHAR* sourceRow, const RowGatherPlan& plan, UCHAR* destinationRow);
