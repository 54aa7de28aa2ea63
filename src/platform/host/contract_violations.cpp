#include "platform/host/contract_violations.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/host/kernel_internal.h"
#include "platform/kernel.h"

namespace veltocam::host {
namespace {
std::atomic<std::uint64_t> g_violations{0};
std::atomic<ContractViolationHook> g_hook{nullptr};
}  // namespace

void SetContractViolationHook(ContractViolationHook hook) {
  g_hook.store(hook);
}

void ContractViolation(const char* what) {
  g_violations.fetch_add(1);
  std::fprintf(stderr, "kernel contract violation: %s\n", what);
  if (ContractViolationHook hook = g_hook.load()) hook(what);
#if VELTOCAM_CHECKED
  std::abort();
#endif
}

std::uint64_t ContractViolationCount() {
  return g_violations.load();
}

bool RequirePassiveLevel(const char* routine) {
  if (KeGetCurrentIrql() == PASSIVE_LEVEL) return true;
  ContractViolation((std::string(routine) + " called above PASSIVE_LEVEL").c_str());
  return false;
}

namespace detail {
void ResetContractViolations() {
  g_violations.store(0);
}
}  // namespace detail

}  // namespace veltocam::host
