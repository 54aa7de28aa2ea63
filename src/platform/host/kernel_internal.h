// State shared by the host kernel's translation units: one lock and one
// condition variable for every dispatcher object and queue (like the kernel's
// dispatcher lock), the clock, and the DPC, timer and work queues.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "platform/host/scheduler.h"
#include "platform/kernel.h"

namespace veltocam::host::detail {

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
bool RunOneReady(bool allowWork);

// Interrupt time of a kernel time-out value: negative = relative, positive =
// absolute system time. Caller holds the lock.
std::uint64_t DeadlineLocked(const KernelState& k, LONGLONG timeout);
std::uint64_t BootSystemTime();

void SetCurrentIrql(KIRQL irql);
void ResetContractViolations();

}  // namespace veltocam::host::detail
