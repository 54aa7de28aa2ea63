// Contract checks of the host kernel: misuse that the real kernel would answer
// with a bug check (waiting at DISPATCH_LEVEL, releasing a semaphore past its
// limit, freeing an unknown block, ...).
#pragma once

#include <cstdint>

namespace veltocam::host {

// Reports a violation on stderr and counts it; aborts in checked builds.
void ContractViolation(const char* what);
// Called with each violation before the abort of a checked build, so that a
// long run can say how to reproduce it; null removes it.
using ContractViolationHook = void (*)(const char* what);
void SetContractViolationHook(ContractViolationHook hook);

// Violations seen since the last ResetKernel (they only survive in builds
// without VELTOCAM_CHECKED).
std::uint64_t ContractViolationCount();

// Reports a violation naming `routine` and returns false when the calling
// thread is above PASSIVE_LEVEL (the registry and file routines need it).
bool RequirePassiveLevel(const char* routine);

}  // namespace veltocam::host
