// CPUID on the host, with an override so tests can play other processors.
#pragma once

#include <array>
#include <functional>

namespace veltocam::host {

using CpuidFunction = std::function<std::array<int, 4>(int leaf)>;

// An empty function restores the real instruction.
void SetCpuidOverride(CpuidFunction function);

}  // namespace veltocam::host
