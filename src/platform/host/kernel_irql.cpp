// IRQL is per thread. Spin locks raise to DISPATCH_LEVEL and belong to the
// execution context (thread or DPC) that took them; in deterministic mode
// there is only one thread and contexts run on top of others only while those
// hold no spin lock, so finding a lock held is a deadlock.
#include <atomic>
#include <thread>

#include "platform/host/contract_violations.h"
#include "platform/host/kernel_internal.h"

namespace {
thread_local KIRQL t_irql = PASSIVE_LEVEL;

// Distinct non-zero value per execution context, stored in a held lock.
ULONG_PTR OwnerToken() {
  return reinterpret_cast<ULONG_PTR>(&veltocam::host::detail::CurrentContext());
}

void Acquire(KSPIN_LOCK* lock) {
  std::atomic_ref<ULONG_PTR> word(*lock);
  ULONG_PTR expected = 0;
  const ULONG_PTR me = OwnerToken();
  while (!word.compare_exchange_weak(expected, me, std::memory_order_acquire)) {
    if (expected == me) {
      veltocam::host::ContractViolation("spin lock acquired twice by the same context");
      return;
    }
    if (expected != 0 &&
        veltocam::host::CurrentSchedulerMode() == veltocam::host::SchedulerMode::Deterministic) {
      veltocam::host::ContractViolation("spin lock held elsewhere under the one-thread scheduler");
      return;
    }
    expected = 0;
    std::this_thread::yield();
  }
  ++veltocam::host::detail::CurrentContext().heldSpinLocks;
}

void Release(KSPIN_LOCK* lock) {
  std::atomic_ref<ULONG_PTR> word(*lock);
  if (word.load(std::memory_order_relaxed) != OwnerToken()) {
    veltocam::host::ContractViolation("spin lock released by a context that does not hold it");
  } else {
    --veltocam::host::detail::CurrentContext().heldSpinLocks;
  }
  word.store(0, std::memory_order_release);
}
}  // namespace

namespace veltocam::host::detail {
void SetCurrentIrql(KIRQL irql) {
  t_irql = irql;
}
}  // namespace veltocam::host::detail

KIRQL KeGetCurrentIrql() {
  return t_irql;
}

void KeRaiseIrql(KIRQL newIrql, KIRQL* oldIrql) {
  if (newIrql < t_irql) veltocam::host::ContractViolation("KeRaiseIrql to a lower level");
  *oldIrql = t_irql;
  t_irql = newIrql;
}

void KeLowerIrql(KIRQL newIrql) {
  if (newIrql > t_irql) veltocam::host::ContractViolation("KeLowerIrql to a higher level");
  const bool apcsUnblocked = t_irql >= APC_LEVEL && newIrql < APC_LEVEL;
  t_irql = newIrql;
  if (apcsUnblocked) veltocam::host::detail::DeliverApcs();
}

KIRQL KeRaiseIrqlToDpcLevel() {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  return old;
}

void KeInitializeSpinLock(KSPIN_LOCK* lock) {
  *lock = 0;
}

void KeAcquireSpinLock(KSPIN_LOCK* lock, KIRQL* oldIrql) {
  veltocam::host::detail::SchedulePoint();
  KeRaiseIrql(DISPATCH_LEVEL, oldIrql);
  Acquire(lock);
}

void KeReleaseSpinLock(KSPIN_LOCK* lock, KIRQL newIrql) {
  Release(lock);
  KeLowerIrql(newIrql);
  veltocam::host::detail::SchedulePoint();
}

void KeAcquireSpinLockAtDpcLevel(KSPIN_LOCK* lock) {
  if (t_irql < DISPATCH_LEVEL) {
    veltocam::host::ContractViolation("KeAcquireSpinLockAtDpcLevel below DISPATCH_LEVEL");
  }
  veltocam::host::detail::SchedulePoint();
  Acquire(lock);
}

void KeReleaseSpinLockFromDpcLevel(KSPIN_LOCK* lock) {
  Release(lock);
  veltocam::host::detail::SchedulePoint();
}

LIST_ENTRY* ExInterlockedInsertHeadList(LIST_ENTRY* head, LIST_ENTRY* entry, KSPIN_LOCK* lock) {
  KIRQL old;
  KeAcquireSpinLock(lock, &old);
  LIST_ENTRY* first = IsListEmpty(head) ? nullptr : head->Flink;
  InsertHeadList(head, entry);
  KeReleaseSpinLock(lock, old);
  return first;
}

LIST_ENTRY* ExInterlockedInsertTailList(LIST_ENTRY* head, LIST_ENTRY* entry, KSPIN_LOCK* lock) {
  KIRQL old;
  KeAcquireSpinLock(lock, &old);
  LIST_ENTRY* last = IsListEmpty(head) ? nullptr : head->Blink;
  InsertTailList(head, entry);
  KeReleaseSpinLock(lock, old);
  return last;
}

LIST_ENTRY* ExInterlockedRemoveHeadList(LIST_ENTRY* head, KSPIN_LOCK* lock) {
  KIRQL old;
  KeAcquireSpinLock(lock, &old);
  LIST_ENTRY* entry = IsListEmpty(head) ? nullptr : RemoveHeadList(head);
  KeReleaseSpinLock(lock, old);
  return entry;
}
