// Planar 4:2:0 to packed RGB24 for the client's RGB24 format: 3 bytes per
// pixel in the order blue, green, red, rows bottom-up (the picture's bottom row
// first), RealImageWidth x RealImageHeight pixels.
//
// Both converters give the same bytes: R = (1024 Y + 1435 V' - U') >> 10,
// G = (1024 Y - 352 U' - 731 V') >> 10, B = (1024 Y + 1815 U' + V') >> 10 with
// U' = U - 128, V' = V - 128, each clamped to 0..255. Neither writes to its
// source. A picture whose width or height is odd or 0 is not converted.
#pragma once

#include "control/devicecontext.h"

// Pixel by pixel, as the formula reads.
void ConvertYuv420ToRgb24(DeviceContext* context, const UCHAR* source, UCHAR* destination);

// The vector form (SSSE3 or AVX2, whichever the processor has), chosen when the
// processor reports its multimedia extensions (HasMmx).
void ConvertYuv420ToRgb24Mmx(DeviceContext* context, const UCHAR* source, UCHAR* destination);
