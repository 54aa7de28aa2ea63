// The scheduler: queues, clock, deterministic pumping and the real-time
// threads. DPCs run at DISPATCH_LEVEL, work items at PASSIVE_LEVEL, neither
// with the kernel lock held.
#include "platform/host/scheduler.h"

#include "platform/host/contract_violations.h"
#include "platform/host/kernel_internal.h"
#include "platform/host/pool.h"

namespace veltocam::host {
namespace detail {

KernelState& Kernel() {
  // Never destroyed: threads of the kernel (workers, a parked work item) may
  // outlive main, and must find the lock and the queues still there.
  static KernelState& state = *new KernelState;
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
  dpc->Number = static_cast<UCHAR>(TargetProcessorLocked(k));
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

std::uint64_t RandomBelowLocked(KernelState& k, std::uint64_t bound) {
  return bound <= 1 ? 0 : k.random() % bound;
}

int TargetProcessorLocked(KernelState& k) {
  const ExecutionContext& context = CurrentContext();
  if (context.isDpc) return context.processor;
  return static_cast<int>(RandomBelowLocked(k, k.randomized ? kProcessors : 1));
}

void InsertTimerLocked(KernelState& k, KTIMER* timer) {
  // The clock interrupt may find an expired timer up to a tick late.
  timer->FireTime = timer->DueTime + (k.randomized ? RandomBelowLocked(k, kClockTick + 1) : 0);
  // After every timer firing at the same time, so equal times fire in arming order.
  LIST_ENTRY* at = k.timerQueue.Flink;
  while (at != &k.timerQueue &&
         CONTAINING_RECORD(at, KTIMER, TimerListEntry)->FireTime <= timer->FireTime) {
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

void RunDpc(int processor, KDPC* dpc, PKDEFERRED_ROUTINE routine, PVOID context, PVOID a1,
            PVOID a2) {
  ExecutionContext onProcessor;
  onProcessor.isDpc = true;
  onProcessor.processor = processor;
  PushContext(&onProcessor);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  routine(dpc, context, a1, a2);
  if (KeGetCurrentIrql() != DISPATCH_LEVEL) {
    ContractViolation("a DPC returned at another IRQL than DISPATCH_LEVEL");
  }
  if (onProcessor.heldSpinLocks != 0) ContractViolation("a DPC returned holding a spin lock");
  PopContext();
  KeLowerIrql(old);
}

}  // namespace

void RunWorkItem(WORK_QUEUE_ITEM* item) {
  PWORKER_THREAD_ROUTINE routine = item->WorkerRoutine;
  PVOID parameter = item->Parameter;
  ExecutionContext worker;
  worker.isWorkItem = true;
  PushContext(&worker);
  // The item may be freed by its own routine: nothing of it is touched after.
  routine(parameter);
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    ContractViolation("a work item returned above PASSIVE_LEVEL");
    SetCurrentIrql(PASSIVE_LEVEL);
  }
  if (worker.heldSpinLocks != 0) ContractViolation("a work item returned holding a spin lock");
  EndIssuingContext(&worker);
  DeliverApcs();  // packets finished meanwhile, not yet reported to this context
  PopContext();
}

KDPC* FirstDpcOfLocked(KernelState& k, int processor) {
  for (LIST_ENTRY* at = k.dpcQueue.Flink; at != &k.dpcQueue; at = at->Flink) {
    KDPC* dpc = CONTAINING_RECORD(at, KDPC, DpcListEntry);
    if (processor < 0 || dpc->Number == processor) return dpc;
  }
  return nullptr;
}

namespace {

// Takes `d` off its queue; the caller runs it with RunTakenDpc.
void TakeThisDpcLocked(KernelState& k, KDPC* d, KDPC** dpc, PKDEFERRED_ROUTINE* routine,
                       PVOID* context, PVOID* a1, PVOID* a2) {
  RemoveEntryList(&d->DpcListEntry);
  --k.dpcCount;
  d->Inserted = 0;
  *dpc = d;
  *routine = d->DeferredRoutine;
  *context = d->DeferredContext;
  *a1 = d->SystemArgument1;
  *a2 = d->SystemArgument2;
  ++k.runningDpcs;
}

// Takes the first DPC (any processor); false when none is queued.
bool TakeDpcLocked(KernelState& k, KDPC** dpc, PKDEFERRED_ROUTINE* routine, PVOID* context,
                   PVOID* a1, PVOID* a2) {
  KDPC* first = FirstDpcOfLocked(k, -1);
  if (first == nullptr) return false;
  TakeThisDpcLocked(k, first, dpc, routine, context, a1, a2);
  return true;
}

WORK_QUEUE_ITEM* TakeWorkLocked(KernelState& k, int queue) {
  if (IsListEmpty(&k.workQueues[queue])) return nullptr;
  --k.workCount;
  return CONTAINING_RECORD(RemoveHeadList(&k.workQueues[queue]), WORK_QUEUE_ITEM, List);
}

}  // namespace

void RunTakenDpc(KernelState& k, std::unique_lock<std::mutex>& lock, KDPC* dpc,
                 PKDEFERRED_ROUTINE routine, PVOID context, PVOID a1, PVOID a2) {
  const int processor = dpc->Number < kProcessors ? dpc->Number : 0;
  k.processorBusy[processor] = true;
  lock.unlock();
  RunDpc(processor, dpc, routine, context, a1, a2);
  lock.lock();
  k.processorBusy[processor] = false;
  --k.runningDpcs;
  k.changed.notify_all();
}

bool RunThisDpc(KernelState& k, std::unique_lock<std::mutex>& lock, KDPC* chosen) {
  KDPC* dpc;
  PKDEFERRED_ROUTINE routine;
  PVOID context, a1, a2;
  TakeThisDpcLocked(k, chosen, &dpc, &routine, &context, &a1, &a2);
  RunTakenDpc(k, lock, dpc, routine, context, a1, a2);
  return true;
}

namespace {

void DispatcherThread() {
  KernelState& k = Kernel();
  std::unique_lock lock(k.mutex);
  while (!k.stopping) {
    std::uint64_t now = NowLocked(k);
    while (KTIMER* t = FirstTimerLocked(k)) {
      if (t->FireTime > now) break;
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
      auto due = k.realStart + std::chrono::nanoseconds(t->FireTime * 100);
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
  if (allowWork && k.mode == SchedulerMode::Deterministic && ResumeReadyWorkerLocked(k, lock)) {
    return true;
  }
  if (k.randomized) return RunRandomReadyLocked(k, lock, allowWork);
  KDPC* dpc;
  PKDEFERRED_ROUTINE routine;
  PVOID context, a1, a2;
  if (TakeDpcLocked(k, &dpc, &routine, &context, &a1, &a2)) {
    RunTakenDpc(k, lock, dpc, routine, context, a1, a2);
    return true;
  }
  if (!allowWork) return false;
  for (int queue = 0; queue < 2; ++queue) {
    if (RunWorkOfQueue(k, lock, queue)) return true;
  }
  return false;
}

void RunQueuedOnWorkerLocked(KernelState& k, std::unique_lock<std::mutex>& lock, int queue) {
  if (WORK_QUEUE_ITEM* item = TakeWorkLocked(k, queue)) RunOnWorkerLocked(k, lock, item);
}

bool RunWorkOfQueue(KernelState& k, std::unique_lock<std::mutex>& lock, int queue) {
  WORK_QUEUE_ITEM* item = TakeWorkLocked(k, queue);
  if (item == nullptr) return false;
  if (k.mode == SchedulerMode::Deterministic && InKernelWait()) {
    RunOnWorkerLocked(k, lock, item);
    return true;
  }
  lock.unlock();
  RunWorkItem(item);
  lock.lock();
  k.changed.notify_all();
  return true;
}

}  // namespace detail

using detail::Kernel;
using detail::KernelState;

void ResetKernel(SchedulerMode mode) {
  KernelState& k = Kernel();
  if (k.mode == SchedulerMode::RealTime) detail::StopThreads(k);
  detail::StopWorkers(k);
  {
    std::lock_guard lock(k.mutex);
    detail::ClearQueuesLocked(k);
    k.runningDpcs = 0;
    for (bool& busy : k.processorBusy) busy = false;
    k.randomized = k.seed != 0 && mode == SchedulerMode::Deterministic;
    k.random.seed(k.seed);
    k.interleavings = 0;
    k.nesting = 0;
    k.virtualNow = 0;
    k.realStart = std::chrono::steady_clock::now();
    k.mode = mode;
  }
  detail::SetCurrentIrql(PASSIVE_LEVEL);
  {
    std::lock_guard lock(k.mutex);
    k.apcsWaiting -= detail::CurrentContext().apcs.size();
    detail::CurrentContext().apcs.clear();
    detail::UpdateSchedulePointsLocked(k);
  }
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
  detail::StopWorkers(k);
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
  *due = t->FireTime;
  return true;
}

bool PumpUntil(const std::function<bool()>& done, const std::uint64_t* deadline) {
  KernelState& k = Kernel();
  // A work item's wait runs no other work item on its stack: on the platform
  // that one would run on another worker, and nesting it here could make it
  // wait for the one below it.
  const bool allowWork =
      KeGetCurrentIrql() == PASSIVE_LEVEL && !detail::CurrentContext().isWorkItem;
  for (;;) {
    detail::DeliverApcs();
    if (done()) return true;
    if (detail::RunOneReady(allowWork)) continue;
    std::lock_guard lock(k.mutex);
    KTIMER* t = detail::FirstTimerLocked(k);
    // A parked worker's time-out comes like a timer: the next round resumes it.
    std::uint64_t parked = 0;
    if (allowWork && detail::EarliestParkedDeadlineLocked(k, &parked) &&
        (t == nullptr || parked < t->FireTime) && (deadline == nullptr || parked <= *deadline)) {
      if (parked > k.virtualNow) k.virtualNow = parked;
      continue;
    }
    if (t != nullptr && (deadline == nullptr || t->FireTime <= *deadline)) {
      if (t->FireTime > k.virtualNow) k.virtualNow = t->FireTime;
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
  return Kernel().workCount + detail::BusyWorkersLocked(Kernel());
}

}  // namespace veltocam::host

using veltocam::host::detail::Kernel;

// ---- Kernel entry points: DPCs, work items, time ------------------------------

namespace {

bool InListLocked(LIST_ENTRY* head, const LIST_ENTRY* entry) {
  for (LIST_ENTRY* at = head->Flink; at != head; at = at->Flink) {
    if (at == entry) return true;
  }
  return false;
}

}  // namespace

namespace veltocam::host::detail {

bool DpcQueuedLocked(KernelState& k, const KDPC* dpc) {
  return InListLocked(&k.dpcQueue, &dpc->DpcListEntry);
}

bool TimerArmedLocked(KernelState& k, const KTIMER* timer) {
  return InListLocked(&k.timerQueue, &timer->TimerListEntry);
}

bool WorkItemQueuedLocked(KernelState& k, const WORK_QUEUE_ITEM* item) {
  return InListLocked(&k.workQueues[0], &item->List) || InListLocked(&k.workQueues[1], &item->List);
}

const char* QueuedObjectWithinLocked(KernelState& k, const void* block, std::size_t size) {
  const auto within = [&](const void* object) {
    const auto* at = static_cast<const char*>(object);
    const auto* start = static_cast<const char*>(block);
    return at >= start && at < start + size;
  };
  for (LIST_ENTRY* at = k.timerQueue.Flink; at != &k.timerQueue; at = at->Flink) {
    if (within(at)) return "an armed timer";
  }
  for (LIST_ENTRY* at = k.dpcQueue.Flink; at != &k.dpcQueue; at = at->Flink) {
    if (within(at)) return "a queued DPC";
  }
  for (LIST_ENTRY& queue : k.workQueues) {
    for (LIST_ENTRY* at = queue.Flink; at != &queue; at = at->Flink) {
      if (within(at)) return "a queued work item";
    }
  }
  return nullptr;
}

}  // namespace veltocam::host::detail

void KeInitializeDpc(KDPC* dpc, PKDEFERRED_ROUTINE routine, PVOID context) {
  veltocam::host::RequireNonPaged(dpc, "a DPC");
  {
    auto& k = Kernel();
    std::lock_guard lock(k.mutex);
    if (veltocam::host::detail::DpcQueuedLocked(k, dpc)) {
      veltocam::host::ContractViolation("KeInitializeDpc of a DPC that is still queued");
      return;
    }
  }
  dpc->Type = 0x13;
  dpc->Number = 0;
  dpc->Inserted = 0;
  dpc->DpcListEntry = {nullptr, nullptr};
  dpc->DeferredRoutine = routine;
  dpc->DeferredContext = context;
  dpc->SystemArgument1 = dpc->SystemArgument2 = nullptr;
}

BOOLEAN KeInsertQueueDpc(KDPC* dpc, PVOID systemArgument1, PVOID systemArgument2) {
  veltocam::host::RequireNonPaged(dpc, "a DPC");
  bool queued;
  {
    auto& k = Kernel();
    std::lock_guard lock(k.mutex);
    queued = dpc->Inserted == 0;
    if (queued) veltocam::host::detail::QueueDpcLocked(k, dpc, systemArgument1, systemArgument2);
  }
  // The DPC's processor may run it before this one goes on.
  veltocam::host::detail::SchedulePoint();
  return queued ? TRUE : FALSE;
}

bool veltocam::host::QueueDeviceDpc(KDPC* dpc) {
  RequireNonPaged(dpc, "a DPC");
  auto& k = Kernel();
  std::lock_guard lock(k.mutex);
  if (dpc->Inserted) return false;
  detail::QueueDpcLocked(k, dpc, nullptr, nullptr);
  return true;
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
  if (!veltocam::host::RequirePassiveLevel("KeFlushQueuedDpcs")) return;
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
  if (veltocam::host::detail::WorkItemQueuedLocked(k, item)) {
    veltocam::host::ContractViolation("ExQueueWorkItem of a work item that is still queued");
    return;
  }
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
