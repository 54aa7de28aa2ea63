// Interlocked operations. Each is a schedule point first: another processor
// may get there before this one; at DISPATCH_LEVEL its target must not be
// paged pool.
#include "platform/host/kernel_internal.h"
#include "platform/host/pool.h"

using veltocam::host::detail::SchedulePoint;

namespace {
void Touch(const volatile LONG* target) {
  veltocam::host::RequireNonPagedAtDispatch(const_cast<const LONG*>(target),
                                            "an interlocked operation");
  SchedulePoint();
}
}  // namespace

LONG InterlockedIncrement(LONG volatile* addend) {
  Touch(addend);
  return __atomic_add_fetch(addend, 1, __ATOMIC_SEQ_CST);
}

LONG InterlockedDecrement(LONG volatile* addend) {
  Touch(addend);
  return __atomic_sub_fetch(addend, 1, __ATOMIC_SEQ_CST);
}

LONG InterlockedExchange(LONG volatile* target, LONG value) {
  Touch(target);
  return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}

LONG InterlockedExchangeAdd(LONG volatile* addend, LONG value) {
  Touch(addend);
  return __atomic_fetch_add(addend, value, __ATOMIC_SEQ_CST);
}

LONG InterlockedCompareExchange(LONG volatile* destination, LONG exchange, LONG comparand) {
  Touch(destination);
  __atomic_compare_exchange_n(destination, &comparand, exchange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return comparand;
}
