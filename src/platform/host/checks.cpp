#include "platform/host/checks.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "platform/host/kernel_internal.h"

namespace veltocam::host {
namespace {
std::atomic<std::uint64_t> g_violations{0};
}

void ContractViolation(const char* what) {
  g_violations.fetch_add(1);
  std::fprintf(stderr, "kernel contract violation: %s\n", what);
#if VELTOCAM_CHECKED
  std::abort();
#endif
}

std::uint64_t ContractViolationCount() { return g_violations.load(); }

namespace detail {
void ResetContractViolations() { g_violations.store(0); }
}  // namespace detail

}  // namespace veltocam::host
