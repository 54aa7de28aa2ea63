// The pipeline's hot paths come in a plain form and SIMD forms chosen at run
// time by what the processor offers; all forms give identical bytes. These
// entry points name the form, so tests and benchmarks can hold each one
// against the plain one.
#pragma once

#include "control/devicecontext.h"

enum class SimdLevel { Plain, Ssse3, Avx2 };

// The widest form this processor can run.
SimdLevel BestSimdLevel();

// ScaleYuv420 and the RGB24 conversion in a given form (one the processor
// cannot run falls back to the best it can).
ULONG ScaleYuv420Using(SimdLevel level, DeviceContext* context, UCHAR* destination, ULONG size,
                       const UCHAR* source);
void ConvertYuv420ToRgb24Using(SimdLevel level, ULONG width, ULONG height, const UCHAR* source,
                               UCHAR* destination);
