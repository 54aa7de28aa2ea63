// Execution contexts, kernel APCs and the seeded schedule's choices. Under a
// seeded schedule, every point where the platform could let another processor
// run (spin lock acquire and release, interlocked operations, waits, sending a
// packet, queueing a timer or a DPC) may first run DPCs of other virtual
// processors, expired timers and (from a passive-level thread) a work item on
// a worker thread, picked at random; a wait picks at random among everything
// ready. The same seed makes the same choices, so a failing schedule
// reproduces.
#include "platform/host/contract_violations.h"
#include "platform/host/kernel_internal.h"

namespace veltocam::host {

void SetScheduleSeed(std::uint64_t seed) {
  detail::KernelState& k = detail::Kernel();
  std::lock_guard lock(k.mutex);
  if (seed != 0 && k.mode != SchedulerMode::Deterministic) {
    ContractViolation("a seeded schedule needs the deterministic scheduler");
    return;
  }
  k.seed = seed;
  k.randomized = seed != 0;
  k.random.seed(seed);
  detail::UpdateSchedulePointsLocked(k);
}

bool ScheduleIsSeeded() {
  std::lock_guard lock(detail::Kernel().mutex);
  return detail::Kernel().randomized;
}

std::uint64_t ScheduledInterleavings() {
  std::lock_guard lock(detail::Kernel().mutex);
  return detail::Kernel().interleavings;
}

}  // namespace veltocam::host

namespace veltocam::host::detail {

std::atomic<bool> g_schedulePointsLive{false};

void UpdateSchedulePointsLocked(const KernelState& k) {
  g_schedulePointsLive.store(k.randomized || k.apcsWaiting != 0, std::memory_order_relaxed);
}

namespace {

// Nesting is bounded so that a schedule point cannot grow the stack without end.
constexpr int kMaxNesting = 6;
// At most this many runs before a schedule point returns to its caller.
constexpr int kStepsPerPoint = 3;

thread_local ExecutionContext t_thread;
thread_local ExecutionContext* t_current = &t_thread;

// An expired timer the clock interrupt has not fired yet.
KTIMER* ExpiredTimerLocked(KernelState& k) {
  for (LIST_ENTRY* at = k.timerQueue.Flink; at != &k.timerQueue; at = at->Flink) {
    KTIMER* timer = CONTAINING_RECORD(at, KTIMER, TimerListEntry);
    if (timer->DueTime <= k.virtualNow) return timer;
  }
  return nullptr;
}

// The work queue whose first item may start at a schedule point of the
// current context, or -1: only a thread at PASSIVE_LEVEL lets one start.
int WorkQueueReadyLocked(KernelState& k, const ExecutionContext& current) {
  if (current.isDpc || KeGetCurrentIrql() != PASSIVE_LEVEL) return -1;
  for (int queue = 0; queue < 2; ++queue) {
    if (!IsListEmpty(&k.workQueues[queue])) return queue;
  }
  return -1;
}

// One random step at a schedule point; false when the caller goes on.
bool RandomStep(KernelState& k, const ExecutionContext& current) {
  std::unique_lock lock(k.mutex);
  if (!k.randomized || k.mode != SchedulerMode::Deterministic || k.nesting >= kMaxNesting) {
    return false;
  }
  KDPC* candidates[kProcessors];
  std::size_t count = 0;
  for (int p = 0; p < kProcessors; ++p) {
    if (k.processorBusy[p] || (current.isDpc && current.processor == p)) continue;
    if (KDPC* dpc = FirstDpcOfLocked(k, p)) candidates[count++] = dpc;
  }
  KTIMER* expired = ExpiredTimerLocked(k);
  // A passive-level thread may find a worker thread's item started meanwhile;
  // it runs on a worker of its own, as it may wait for what this one holds.
  const int queue = WorkQueueReadyLocked(k, current);
  const std::size_t timers = expired != nullptr ? 1 : 0;
  const std::size_t work = queue >= 0 ? 1 : 0;
  const std::size_t choice = RandomBelowLocked(k, count + timers + work + 1);
  if (choice < count) {
    ++k.interleavings;
    ++k.nesting;
    RunThisDpc(k, lock, candidates[choice]);
    --k.nesting;
    return true;
  }
  if (timers != 0 && choice == count) {
    ++k.interleavings;
    FireTimerLocked(k, expired);
    return true;
  }
  if (work != 0 && choice == count + timers) {
    ++k.interleavings;
    ++k.nesting;
    RunQueuedOnWorkerLocked(k, lock, queue);
    --k.nesting;
    return true;
  }
  return false;
}

}  // namespace

ExecutionContext& CurrentContext() {
  return *t_current;
}

void PushContext(ExecutionContext* context) {
  context->outer = t_current;
  t_current = context;
}

void PopContext() {
  t_current = t_current->outer;
}

void QueueApc(ExecutionContext* thread, Apc apc) {
  KernelState& k = Kernel();
  std::lock_guard lock(k.mutex);
  thread->apcs.push_back(apc);
  ++k.apcsWaiting;
  UpdateSchedulePointsLocked(k);
  k.changed.notify_all();
}

void DeliverApcs() {
  if (!g_schedulePointsLive.load(std::memory_order_relaxed)) return;  // none waiting anywhere
  ExecutionContext& current = CurrentContext();
  if (current.isDpc || KeGetCurrentIrql() >= APC_LEVEL) return;
  KernelState& k = Kernel();
  for (;;) {
    std::vector<Apc> due;
    {
      std::lock_guard lock(k.mutex);
      if (current.apcs.empty()) return;
      due.swap(current.apcs);
      k.apcsWaiting -= due.size();
      UpdateSchedulePointsLocked(k);
    }
    for (const Apc& apc : due) apc.routine(apc.argument);
  }
}

void SchedulePointTaken() {
  ExecutionContext& current = CurrentContext();
  if (current.heldSpinLocks == 0) {
    KernelState& k = Kernel();
    for (int step = 0; step < kStepsPerPoint && RandomStep(k, current); ++step) {
    }
  }
  DeliverApcs();
}

bool RunRandomReadyLocked(KernelState& k, std::unique_lock<std::mutex>& lock, bool allowWork) {
  const ExecutionContext& current = CurrentContext();
  KDPC* dpcs[kProcessors];
  std::size_t count = 0;
  for (int p = 0; p < kProcessors; ++p) {
    if (k.processorBusy[p] || (current.isDpc && current.processor == p)) continue;
    if (KDPC* dpc = FirstDpcOfLocked(k, p)) dpcs[count++] = dpc;
  }
  int queues[2];
  std::size_t queueCount = 0;
  for (int queue = 0; allowWork && queue < 2; ++queue) {
    if (!IsListEmpty(&k.workQueues[queue])) queues[queueCount++] = queue;
  }
  if (count + queueCount == 0) return false;
  const std::size_t choice = RandomBelowLocked(k, count + queueCount);
  if (choice < count) return RunThisDpc(k, lock, dpcs[choice]);
  return RunWorkOfQueue(k, lock, queues[choice - count]);
}

}  // namespace veltocam::host::detail
