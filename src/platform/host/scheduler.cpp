// The scheduler: queues, clock, deterministic pumping and the real-time
// threads. DPCs run at DISPATCH_LEVEL, work items at PASSIVE_LEVEL, neither
// with the kernel lock held.
#include "platform/host/scheduler.h"

#include "platform/host/contract_violations.h"
#include "platform/host/kernel_internal.h"

namespace veltocam::host {
namespace detail {

KernelState& Kernel() {
  static KernelState state;
  return state;
}

std::uint64_t NowLocked(const KernelState& k) {
  if (k.mode == SchedulerMode::Deterministic) return k.virtualNow;
  auto elapsed = std::chrono::steady_clock::now() - k.realStart;
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100);
}

// 2026-01-01 00:00:00 UTC in 100 ns units since 1601; virtual time starts there
// so that stored times are plausible dates and every run sees the same ones.
std::uint64_t BootSystemTime() {
  return 134116992000000000ULL;
}

std::uint64_t DeadlineLocked(const KernelState& k, LONGLONG timeout) {
  std::uint64_t now = NowLocked(k);
  if (timeout <= 0) return now + static_cast<std::uint64_t>(-timeout);
  std::uint64_t absolute = static_cast<std::uint64_t>(timeout);
  std::uint64_t boot = BootSystemTime();
  return absolute > boot ? absolute - boot : 0;
}

void QueueDpcLocked(KernelState& k, KDPC* dpc, PVOID argument1, PVOID argument2) {
  if (dpc->Inserted) return;
  dpc->Inserted = 1;
  dpc->SystemArgument1 = argument1;
  dpc->SystemArgument2 = argument2;
  InsertTailList(&k.dpcQueue, &dpc->DpcListEntry);
  ++k.dpcCount;
  k.changed.notify_all();
}

KTIMER* FirstTimerLocked(KernelState& k) {
  if (IsListEmpty(&k.timerQueue)) return nullptr;
  return CONTAINING_RECORD(k.timerQueue.Flink, KTIMER, TimerListEntry);
}

void InsertTimerLocked(KernelState& k, KTIMER* timer) {
  // After every timer due at the same time, so equal due times fire in arming order.
  LIST_ENTRY* at = k.timerQueue.Flink;
  while (at != &k.timerQueue &&
         CONTAINING_RECORD(at, KTIMER, TimerListEntry)->DueTime <= timer->DueTime) {
    at = at->Flink;
  }
  InsertTailList(at, &timer->TimerListEntry);
  timer->Header.Inserted = 1;
  ++k.timerCount;
}

void FireTimerLocked(KernelState& k, KTIMER* timer) {
  RemoveEntryList(&timer->TimerListEntry);
  --k.timerCount;
  timer->Header.Inserted = 0;
  timer->Header.SignalState = 1;
  if (timer->Period > 0) {
    // Re-arm from the due time, not from now, so a periodic timer keeps its rate.
    timer->DueTime += static_cast<std::uint64_t>(timer->Period) * 10'000;
    InsertTimerLocked(k, timer);
  }
  if (timer->Dpc != nullptr) {
    std::uint64_t systemTime = BootSystemTime() + NowLocked(k);
    QueueDpcLocked(k, timer->Dpc, reinterpret_cast<PVOID>(systemTime & 0xFFFFFFFF),
                   reinterpret_cast<PVOID>(systemTime >> 32));
  }
  k.changed.notify_all();
}

void ClearQueuesLocked(KernelState& k) {
  while (!IsListEmpty(&k.dpcQueue)) {
    CONTAINING_RECORD(RemoveHeadList(&k.dpcQueue), KDPC, DpcListEntry)->Inserted = 0;
  }
  while (!IsListEmpty(&k.timerQueue)) {
    CONTAINING_RECORD(RemoveHeadList(&k.timerQueue), KTIMER, TimerListEntry)->Header.Inserted = 0;
  }
  for (LIST_ENTRY& queue : k.workQueues) InitializeListHead(&queue);
  k.dpcCount = k.timerCount = k.workCount = 0;
}

namespace {

void RunDpc(KDPC* dpc, PKDEFERRED_ROUTINE routine, PVOID context, PVOID a1, PVOID a2) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  routine(dpc, context, a1, a2);
  if (KeGetCurrentIrql() != DISPATCH_LEVEL) {
    ContractViolation("a DPC returned at another IRQL than DISPATCH_LEVEL");
  }
  KeLowerIrql(old);
}

void RunWorkItem(WORK_QUEUE_ITEM* item) {
  PWORKER_THREAD_ROUTINE routine = item->WorkerRoutine;
  PVOID parameter = item->Parameter;
  // The item may be freed by its own routine: nothing of it is touched after.
  routine(parameter);
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    ContractViolation("a work item returned above PASSIVE_LEVEL");
    SetCurrentIrql(PASSIVE_LEVEL);
  }
}

// Takes the first DPC; the caller runs it and then calls DpcDone.
bool TakeDpcLocked(KernelState& k, KDPC** dpc, PKDEFERRED_ROUTINE* routine, PVOID* context,
                   PVOID* a1, PVOID* a2) {
  if (IsListEmpty(&k.dpcQueue)) return false;
  KDPC* d = CONTAINING_RECORD(RemoveHeadList(&k.dpcQueue), KDPC, DpcListEntry);
  --k.dpcCount;
  d->Inserted = 0;
  *dpc = d;
  *routine = d->DeferredRoutine;
  *context = d->DeferredContext;
  *a1 = d->SystemArgument1;
  *a2 = d->SystemArgument2;
  ++k.runningDpcs;
  return true;
}

WORK_QUEUE_ITEM* TakeWorkLocked(KernelState& k, int queue) {
  if (IsListEmpty(&k.workQueues[queue])) return nullptr;
  --k.workCount;
  return CONTAINING_RECORD(RemoveHeadList(&k.workQueues[queue]), WORK_QUEUE_ITEM, List);
}

void RunTakenDpc(KernelState& k, std::unique_lock<std::mutex>& lock, KDPC* dpc,
                 PKDEFERRED_ROUTINE routine, PVOID context, PVOID a1, PVOID a2) {
  lock.unlock();
  RunDpc(dpc, routine, context, a1, a2);
  lock.lock();
  --k.runningDpcs;
  k.changed.notify_all();
}

void DispatcherThread() {
  KernelState& k = Kernel();
  std::unique_lock lock(k.mutex);
  while (!k.stopping) {
    std::uint64_t now = NowLocked(k);
    while (KTIMER* t = FirstTimerLocked(k)) {
      if (t->DueTime > now) break;
      FireTimerLocked(k, t);
    }
    KDPC* dpc;
    PKDEFERRED_ROUTINE routine;
    PVOID context, a1, a2;
    if (TakeDpcLocked(k, &dpc, &routine, &context, &a1, &a2)) {
      RunTakenDpc(k, lock, dpc, routine, context, a1, a2);
      continue;
    }
    if (KTIMER* t = FirstTimerLocked(k)) {
      auto due = k.realStart + std::chrono::nanoseconds(t->DueTime * 100);
      k.changed.wait_until(lock, due);
    } else {
      k.changed.wait(lock);
    }
  }
}

void WorkerThread(int queue) {
  KernelState& k = Kernel();
  std::unique_lock lock(k.mutex);
  while (!k.stopping) {
    if (WORK_QUEUE_ITEM* item = TakeWorkLocked(k, queue)) {
      lock.unlock();
      RunWorkItem(item);
      lock.lock();
      k.changed.notify_all();
      continue;
    }
    k.changed.wait(lock);
  }
}

void StopThreads(KernelState& k) {
  {
    std::lock_guard lock(k.mutex);
    k.stopping = true;
    k.changed.notify_all();
  }
  if (k.dispatcher.joinable()) k.dispatcher.join();
  for (std::thread& worker : k.workers) {
    if (worker.joinable()) worker.join();
  }
  std::lock_guard lock(k.mutex);
  k.stopping = false;
}

}  // namespace

bool RunOneReady(bool allowWork) {
  KernelState& k = Kernel();
  std::unique_lock lock(k.mutex);
  KDPC* dpc;
  PKDEFERRED_ROUTINE routine;
  PVOID context, a1, a2;
  if (TakeDpcLocked(k, &dpc, &routine, &context, &a1, &a2)) {
    RunTakenDpc(k, lock, dpc, routine, context, a1, a2);
    return true;
  }
  if (!allowWork) return false;
  for (int queue = 0; queue < 2; ++queue) {
    if (WORK_QUEUE_ITEM* item = TakeWorkLocked(k, queue)) {
      lock.unlock();
      RunWorkItem(item);
      return true;
    }
  }
  return false;
}

}  // namespace detail

using detail::Kernel;
using detail::KernelState;

void ResetKernel(SchedulerMode mode) {
  KernelState& k = Kernel();
  if (k.mode == SchedulerMode::RealTime) detail::StopThreads(k);
  {
    std::lock_guard lock(k.mutex);
    detail::ClearQueuesLocked(k);
    k.runningDpcs = 0;
    k.virtualNow = 0;
    k.realStart = std::chrono::steady_clock::now();
    k.mode = mode;
  }
  detail::SetCurrentIrql(PASSIVE_LEVEL);
  detail::ResetContractViolations();
  if (mode == SchedulerMode::RealTime) {
    k.dispatcher = std::thread(detail::DispatcherThread);
    k.workers[0] = std::thread(detail::WorkerThread, 0);
    k.workers[1] = std::thread(detail::WorkerThread, 1);
  }
}

void ShutdownKernel() {
  KernelState& k = Kernel();
  if (k.mode == SchedulerMode::RealTime) detail::StopThreads(k);
  std::lock_guard lock(k.mutex);
  detail::ClearQueuesLocked(k);
  k.mode = SchedulerMode::Deterministic;
}

SchedulerMode CurrentSchedulerMode() {
  std::lock_guard lock(Kernel().mutex);
  return Kernel().mode;
}

std::uint64_t Now() {
  std::lock_guard lock(Kernel().mutex);
  return detail::NowLocked(Kernel());
}

bool RunNext() {
  return detail::RunOneReady(KeGetCurrentIrql() == PASSIVE_LEVEL);
}

std::size_t RunUntilIdle() {
  std::size_t count = 0;
  while (RunNext()) ++count;
  return count;
}

bool AdvanceToNextTimer() {
  KernelState& k = Kernel();
  std::lock_guard lock(k.mutex);
  KTIMER* t = detail::FirstTimerLocked(k);
  if (t == nullptr) return false;
  if (t->DueTime > k.virtualNow) k.virtualNow = t->DueTime;
  detail::FireTimerLocked(k, t);
  return true;
}

bool NextTimerDue(std::uint64_t* due) {
  KernelState& k = Kernel();
  std::lock_guard lock(k.mutex);
  KTIMER* t = detail::FirstTimerLocked(k);
  if (t == nullptr) return false;
  *due = t->DueTime;
  return true;
}

bool PumpUntil(const std::function<bool()>& done, const std::uint64_t* deadline) {
  KernelState& k = Kernel();
  const bool allowWork = KeGetCurrentIrql() == PASSIVE_LEVEL;
  for (;;) {
    if (done()) return true;
    if (detail::RunOneReady(allowWork)) continue;
    std::lock_guard lock(k.mutex);
    KTIMER* t = detail::FirstTimerLocked(k);
    if (t != nullptr && (deadline == nullptr || t->DueTime <= *deadline)) {
      if (t->DueTime > k.virtualNow) k.virtualNow = t->DueTime;
      detail::FireTimerLocked(k, t);
      continue;
    }
    if (deadline != nullptr && k.virtualNow < *deadline) k.virtualNow = *deadline;
    return false;
  }
}

void AdvanceTime(std::int64_t hundredNanoseconds) {
  KernelState& k = Kernel();
  std::uint64_t target;
  {
    std::lock_guard lock(k.mutex);
    if (k.mode != SchedulerMode::Deterministic) {
      ContractViolation("AdvanceTime needs the deterministic scheduler");
      return;
    }
    target = k.virtualNow + static_cast<std::uint64_t>(hundredNanoseconds);
  }
  PumpUntil([] { return false; }, &target);
}

std::size_t QueuedDpcCount() {
  std::lock_guard lock(Kernel().mutex);
  return Kernel().dpcCount;
}

std::size_t ArmedTimerCount() {
  std::lock_guard lock(Kernel().mutex);
  return Kernel().timerCount;
}

std::size_t QueuedWorkItemCount() {
  std::lock_guard lock(Kernel().mutex);
  return Kernel().workCount;
}

}  // namespace veltocam::host

using veltocam::host::detail::Kernel;

// ---- Kernel entry points: DPCs, work items, time ------------------------------

void KeInitializeDpc(KDPC* dpc, PKDEFERRED_ROUTINE routine, PVOID context) {
  dpc->Type = 0x13;
  dpc->Inserted = 0;
  dpc->DpcListEntry = {nullptr, nullptr};
  dpc->DeferredRoutine = routine;
  dpc->DeferredContext = context;
  dpc->SystemArgument1 = dpc->SystemArgument2 = nullptr;
}

BOOLEAN KeInsertQueueDpc(KDPC* dpc, PVOID systemArgument1, PVOID systemArgument2) {
  auto& k = Kernel();
  std::lock_guard lock(k.mutex);
  if (dpc->Inserted) return FALSE;
  veltocam::host::detail::QueueDpcLocked(k, dpc, systemArgument1, systemArgument2);
  return TRUE;
}

BOOLEAN KeRemoveQueueDpc(KDPC* dpc) {
  auto& k = Kernel();
  std::lock_guard lock(k.mutex);
  if (!dpc->Inserted) return FALSE;
  RemoveEntryList(&dpc->DpcListEntry);
  --k.dpcCount;
  dpc->Inserted = 0;
  return TRUE;
}

void KeFlushQueuedDpcs() {
  auto& k = Kernel();
  if (veltocam::host::CurrentSchedulerMode() == veltocam::host::SchedulerMode::Deterministic) {
    while (veltocam::host::detail::RunOneReady(false)) {
    }
    return;
  }
  std::unique_lock lock(k.mutex);
  k.changed.wait(lock, [&] { return k.dpcCount == 0 && k.runningDpcs == 0; });
}

void ExQueueWorkItem(WORK_QUEUE_ITEM* item, WORK_QUEUE_TYPE queue) {
  auto& k = Kernel();
  std::lock_guard lock(k.mutex);
  InsertTailList(&k.workQueues[queue == CriticalWorkQueue ? 0 : 1], &item->List);
  ++k.workCount;
  k.changed.notify_all();
}

void KeQuerySystemTime(LARGE_INTEGER* currentTime) {
  currentTime->QuadPart =
      static_cast<LONGLONG>(veltocam::host::detail::BootSystemTime() + veltocam::host::Now());
}

ULONGLONG KeQueryInterruptTime() {
  return veltocam::host::Now();
}

LARGE_INTEGER KeQueryPerformanceCounter(LARGE_INTEGER* performanceFrequency) {
  if (performanceFrequency != nullptr) performanceFrequency->QuadPart = 10'000'000;
  LARGE_INTEGER counter;
  counter.QuadPart = static_cast<LONGLONG>(veltocam::host::Now());
  return counter;
}
