#include "pipeline/simd_level.h"

namespace {

SimdLevel DetectSimdLevel() {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) return SimdLevel::Avx2;
  if (__builtin_cpu_supports("ssse3")) return SimdLevel::Ssse3;
  return SimdLevel::Plain;
}

}  // namespace

SimdLevel BestSimdLevel() {
  // The processor does not change under a running driver: ask once.
  static const SimdLevel level = DetectSimdLevel();
  return level;
}
