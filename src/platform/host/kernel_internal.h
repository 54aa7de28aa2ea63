// State shared by the host kernel's translation units: one lock and one
// condition variable for every dispatcher object and queue (like the kernel's
// dispatcher lock), the clock, and the DPC, timer and work queues.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "platform/host/scheduler.h"
#include "platform/kernel.h"

namespace veltocam::host::detail {

// Virtual processors: DPCs queued on one run in order there, while DPCs of
// another may run in between.
constexpr int kProcessors = 2;

// A kernel APC: runs in its thread once that thread is below APC_LEVEL.
struct Apc {
  void (*routine)(void* argument);
  void* argument;
};

// What the calling code runs as: a thread (the program's or a worker's) or a
// DPC on a virtual processor. Under the deterministic scheduler contexts nest
// on one stack: a wait or a schedule point runs others on top of it.
struct ExecutionContext {
  bool isDpc = false;
  bool isWorkItem = false;
  int processor = 0;      // DPCs: the processor they run on
  int heldSpinLocks = 0;  // other contexts run on top only while this is 0
  std::vector<Apc> apcs;  // guarded by KernelState::mutex
  ExecutionContext* outer = nullptr;
};

ExecutionContext& CurrentContext();
// Makes `context` current on this thread until the matching PopContext.
void PushContext(ExecutionContext* context);
void PopContext();
// Queues an APC to a thread context (caller does not hold the kernel lock).
void QueueApc(ExecutionContext* thread, Apc apc);
// Runs the APCs queued to the current context when it is a thread below
// APC_LEVEL.
void DeliverApcs();
// A point where the platform could let another processor run: under a seeded
// schedule it may run ready DPCs and expired timers first, and a thread below
// APC_LEVEL runs its APCs. Caller holds no host lock. Without a seed and with
// no APC waiting it costs one load, so the hot paths keep their speed.
extern std::atomic<bool> g_schedulePointsLive;
void SchedulePointTaken();
inline void SchedulePoint() {
  if (g_schedulePointsLive.load(std::memory_order_relaxed)) SchedulePointTaken();
}

// Deterministic mode's second passive-level thread: a work item that starts
// while the pumping thread is inside a kernel wait runs on a worker thread of
// its own, so that when it must wait for something only the waiting thread
// can give (a lock it holds), it parks instead of deadlocking on one stack.
// One thread runs at a time (a baton on the kernel's lock), so every choice
// is still the scheduler's. Guarded by KernelState::mutex.
struct Worker {
  std::thread thread;
  bool running = false;  // holds the baton
  bool busy = false;     // has an item, running or parked
  bool parked = false;
  bool quit = false;
  WORK_QUEUE_ITEM* item = nullptr;
  // A parked wait: its object (null for a delay), its time-out, and whether
  // the pump took the object's signal for it.
  DISPATCHER_HEADER* header = nullptr;
  bool hasDeadline = false;
  std::uint64_t deadline = 0;
  bool satisfied = false;
  ExecutionContext* context = nullptr;  // the parked wait's context: APCs come here
};

struct KernelState {
  std::mutex mutex;
  std::condition_variable changed;  // notified whenever an object or queue changes

  SchedulerMode mode = SchedulerMode::Deterministic;
  std::uint64_t virtualNow = 0;
  std::chrono::steady_clock::time_point realStart = std::chrono::steady_clock::now();

  LIST_ENTRY dpcQueue{&dpcQueue, &dpcQueue};
  LIST_ENTRY timerQueue{&timerQueue, &timerQueue};  // sorted by DueTime
  LIST_ENTRY workQueues[2]{{&workQueues[0], &workQueues[0]}, {&workQueues[1], &workQueues[1]}};
  std::size_t dpcCount = 0;
  std::size_t timerCount = 0;
  std::size_t workCount = 0;
  int runningDpcs = 0;
  bool processorBusy[kProcessors] = {};  // a DPC of it is on the stack

  // Seeded schedule: choices at every schedule point come from `random`.
  bool randomized = false;
  std::uint64_t seed = 0;
  std::mt19937_64 random;
  std::uint64_t interleavings = 0;
  int nesting = 0;              // contexts run on top of others by schedule points
  std::size_t apcsWaiting = 0;  // queued to some thread, not yet run

  std::vector<std::unique_ptr<Worker>> workerThreads;  // deterministic mode only

  bool stopping = false;
  std::thread dispatcher;
  std::thread workers[2];
};

KernelState& Kernel();

// Caller holds Kernel().mutex.
std::uint64_t NowLocked(const KernelState& k);
void QueueDpcLocked(KernelState& k, KDPC* dpc, PVOID argument1, PVOID argument2);
// Arms the timer in due-time order.
void InsertTimerLocked(KernelState& k, KTIMER* timer);
void FireTimerLocked(KernelState& k, KTIMER* timer);
KTIMER* FirstTimerLocked(KernelState& k);
void ClearQueuesLocked(KernelState& k);

// Runs one ready DPC, or (when allowWork) one work item; false when none.
// Under a seeded schedule the choice among what is ready is random.
bool RunOneReady(bool allowWork);
// Running what is queued. The caller holds `lock` (on Kernel().mutex); it is
// released while the DPC or work item runs.
KDPC* FirstDpcOfLocked(KernelState& k, int processor);  // processor -1: any
void RunTakenDpc(KernelState& k, std::unique_lock<std::mutex>& lock, KDPC* dpc,
                 PKDEFERRED_ROUTINE routine, PVOID context, PVOID a1, PVOID a2);
bool RunThisDpc(KernelState& k, std::unique_lock<std::mutex>& lock, KDPC* dpc);
bool RunWorkOfQueue(KernelState& k, std::unique_lock<std::mutex>& lock, int queue);
bool RunRandomReadyLocked(KernelState& k, std::unique_lock<std::mutex>& lock, bool allowWork);
// Starts the first item of `queue` on a worker thread (deterministic mode)
// and waits until it finishes or parks.
void RunQueuedOnWorkerLocked(KernelState& k, std::unique_lock<std::mutex>& lock, int queue);
// Runs a work item in a work item context on the calling thread.
void RunWorkItem(WORK_QUEUE_ITEM* item);
// Defined by the I/O manager: a work item's context is ending while packets it
// built may still be out; the worker thread it ran on finishes them later.
void EndIssuingContext(ExecutionContext* context);

// Publishes whether schedule points have work (a seed, or APCs waiting).
void UpdateSchedulePointsLocked(const KernelState& k);

// Random number below `bound` from the schedule's generator; caller holds the lock.
std::uint64_t RandomBelowLocked(KernelState& k, std::uint64_t bound);
// Processor for a DPC queued from the current context.
int TargetProcessorLocked(KernelState& k);

// Interrupt time of a kernel time-out value: negative = relative, positive =
// absolute system time. Caller holds the lock.
std::uint64_t DeadlineLocked(const KernelState& k, LONGLONG timeout);
std::uint64_t BootSystemTime();

// Whether the object is in a kernel queue now (caller holds the lock).
bool DpcQueuedLocked(KernelState& k, const KDPC* dpc);
bool TimerArmedLocked(KernelState& k, const KTIMER* timer);
bool WorkItemQueuedLocked(KernelState& k, const WORK_QUEUE_ITEM* item);
// What kind of queued kernel object lies in [block, block + size), or null.
const char* QueuedObjectWithinLocked(KernelState& k, const void* block, std::size_t size);

void SetCurrentIrql(KIRQL irql);

// Consumes the signal of a synchronisation object; true when a wait on it is
// satisfied. Caller holds the lock.
bool TrySatisfyLocked(DISPATCHER_HEADER* header);

// Worker threads (deterministic mode). The calling thread is inside a kernel
// wait while this is non-zero: work items it starts go to a worker thread.
void EnterKernelWait();
void LeaveKernelWait();
bool InKernelWait();
// Runs `item` on an idle worker thread and waits for it to finish or park.
void RunOnWorkerLocked(KernelState& k, std::unique_lock<std::mutex>& lock, WORK_QUEUE_ITEM* item);
// Resumes one parked worker whose wait can go on (object signalled, time-out
// come, APC waiting) and waits for it to finish or park; false when none can.
bool ResumeReadyWorkerLocked(KernelState& k, std::unique_lock<std::mutex>& lock);
// The earliest time-out among parked workers; false when none has one.
bool EarliestParkedDeadlineLocked(const KernelState& k, std::uint64_t* deadline);
std::size_t BusyWorkersLocked(const KernelState& k);
// The current thread is a worker: its wait parks when nothing here can
// satisfy it. Returns the wait's status.
bool OnWorkerThread();
NTSTATUS WorkerWait(DISPATCHER_HEADER* header, bool hasDeadline, std::uint64_t deadline);
// Ends idle workers; abandons parked ones (a test that leaves one fails).
void StopWorkers(KernelState& k);
void ResetContractViolations();

}  // namespace veltocam::host::detail
