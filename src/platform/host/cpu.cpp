#include "platform/host/cpu.h"

#include <cpuid.h>

#include <mutex>

#include "platform/kernel.h"

namespace veltocam::host {
namespace {
std::mutex g_mutex;
CpuidFunction g_override;
}  // namespace

void SetCpuidOverride(CpuidFunction function) {
  std::lock_guard lock(g_mutex);
  g_override = std::move(function);
}

}  // namespace veltocam::host

void PlatformCpuid(int cpuInfo[4], int leaf) {
  {
    std::lock_guard lock(veltocam::host::g_mutex);
    if (veltocam::host::g_override) {
      std::array<int, 4> r = veltocam::host::g_override(leaf);
      for (int i = 0; i < 4; ++i) cpuInfo[i] = r[i];
      return;
    }
  }
  unsigned a = 0, b = 0, c = 0, d = 0;
  __cpuid_count(static_cast<unsigned>(leaf), 0, a, b, c, d);
  cpuInfo[0] = static_cast<int>(a);
  cpuInfo[1] = static_cast<int>(b);
  cpuInfo[2] = static_cast<int>(c);
  cpuInfo[3] = static_cast<int>(d);
}
