#include "platform/host/passive_level.h"

#include <string>

#include "platform/host/checks.h"
#include "platform/kernel.h"

namespace veltocam::host {

bool RequirePassiveLevel(const char* routine) {
  if (KeGetCurrentIrql() == PASSIVE_LEVEL) return true;
  ContractViolation((std::string(routine) + " called above PASSIVE_LEVEL").c_str());
  return false;
}

}  // namespace veltocam::host
