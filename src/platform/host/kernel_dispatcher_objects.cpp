// Events, semaphores, timers and the waits on them. In deterministic mode a
// wait pumps the scheduler until it is satisfied or its time-out passes; in
// real-time mode it blocks on the kernel's condition variable.
#include "platform/host/contract_violations.h"
#include "platform/host/kernel_internal.h"
#include "platform/host/pool.h"

using veltocam::host::ContractViolation;
using veltocam::host::SchedulerMode;
using veltocam::host::detail::Kernel;
using veltocam::host::detail::KernelState;

namespace veltocam::host::detail {

bool TrySatisfyLocked(DISPATCHER_HEADER* header) {
  switch (header->Type) {
    case EventNotificationObject:
    case TimerNotificationObject:
      return header->SignalState > 0;
    case EventSynchronizationObject:
    case TimerSynchronizationObject:
      if (header->SignalState <= 0) return false;
      header->SignalState = 0;
      return true;
    case SemaphoreObject:
      if (header->SignalState <= 0) return false;
      --header->SignalState;
      return true;
    default:
      ContractViolation("wait on an object that is not an event, semaphore or timer");
      return true;
  }
}

}  // namespace veltocam::host::detail

namespace {

using veltocam::host::detail::TrySatisfyLocked;

// Deterministic wait: the scheduler's pump, satisfied when the object is.
// header may be null (a plain delay). On a worker thread the wait parks
// when nothing there can satisfy it, and the waiting thread goes on.
NTSTATUS PumpUntil(DISPATCHER_HEADER* header, bool hasDeadline, std::uint64_t deadline) {
  if (veltocam::host::detail::OnWorkerThread()) {
    return veltocam::host::detail::WorkerWait(header, hasDeadline, deadline);
  }
  KernelState& k = Kernel();
  const auto satisfied = [&] {
    std::lock_guard lock(k.mutex);
    return header != nullptr && TrySatisfyLocked(header);
  };
  veltocam::host::detail::EnterKernelWait();
  const bool done = veltocam::host::PumpUntil(satisfied, hasDeadline ? &deadline : nullptr);
  veltocam::host::detail::LeaveKernelWait();
  if (done) return STATUS_SUCCESS;
  if (!hasDeadline) {
    ContractViolation("a wait without time-out that nothing left to run can satisfy");
  }
  return STATUS_TIMEOUT;
}

NTSTATUS BlockUntil(DISPATCHER_HEADER* header, bool hasDeadline, std::uint64_t deadline) {
  KernelState& k = Kernel();
  std::unique_lock lock(k.mutex);
  auto& apcs = veltocam::host::detail::CurrentContext().apcs;
  for (;;) {
    if (!apcs.empty() && KeGetCurrentIrql() < APC_LEVEL) {
      // A waiting thread runs its APCs (they may be what satisfies the wait).
      lock.unlock();
      veltocam::host::detail::DeliverApcs();
      lock.lock();
      continue;
    }
    if (header != nullptr && TrySatisfyLocked(header)) return STATUS_SUCCESS;
    if (!hasDeadline) {
      k.changed.wait(lock);
      continue;
    }
    if (veltocam::host::detail::NowLocked(k) >= deadline) return STATUS_TIMEOUT;
    k.changed.wait_until(lock, k.realStart + std::chrono::nanoseconds(deadline * 100));
  }
}

NTSTATUS Wait(DISPATCHER_HEADER* header, LARGE_INTEGER* timeout) {
  const bool zeroTimeout = timeout != nullptr && timeout->QuadPart == 0;
  if (KeGetCurrentIrql() >= DISPATCH_LEVEL && !zeroTimeout) {
    ContractViolation("wait with a non-zero time-out at DISPATCH_LEVEL");
  }
  veltocam::host::detail::SchedulePoint();
  KernelState& k = Kernel();
  std::uint64_t deadline = 0;
  SchedulerMode mode;
  {
    std::lock_guard lock(k.mutex);
    // A zero time-out polls: nothing else runs, in either mode.
    if (zeroTimeout)
      return header != nullptr && TrySatisfyLocked(header) ? STATUS_SUCCESS : STATUS_TIMEOUT;
    mode = k.mode;
    if (timeout != nullptr) deadline = veltocam::host::detail::DeadlineLocked(k, timeout->QuadPart);
  }
  if (mode == SchedulerMode::Deterministic) return PumpUntil(header, timeout != nullptr, deadline);
  return BlockUntil(header, timeout != nullptr, deadline);
}

void InitializeHeader(DISPATCHER_HEADER* header, UCHAR type, LONG state) {
  header->Type = type;
  header->Inserted = 0;
  header->Reserved[0] = header->Reserved[1] = 0;
  header->SignalState = state;
}

}  // namespace

void KeInitializeEvent(KEVENT* event, EVENT_TYPE type, BOOLEAN state) {
  InitializeHeader(&event->Header,
                   type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject,
                   state ? 1 : 0);
}

LONG KeSetEvent(KEVENT* event, KPRIORITY, BOOLEAN) {
  veltocam::host::RequireNonPagedAtDispatch(event, "KeSetEvent");
  KernelState& k = Kernel();
  std::lock_guard lock(k.mutex);
  LONG previous = event->Header.SignalState;
  event->Header.SignalState = 1;
  k.changed.notify_all();
  return previous;
}

LONG KeResetEvent(KEVENT* event) {
  std::lock_guard lock(Kernel().mutex);
  LONG previous = event->Header.SignalState;
  event->Header.SignalState = 0;
  return previous;
}

void KeClearEvent(KEVENT* event) {
  KeResetEvent(event);
}

LONG KeReadStateEvent(KEVENT* event) {
  std::lock_guard lock(Kernel().mutex);
  return event->Header.SignalState;
}

void KeInitializeSemaphore(KSEMAPHORE* semaphore, LONG count, LONG limit) {
  if (limit <= 0 || count < 0 || count > limit) {
    ContractViolation("semaphore initialised with a count outside 0..limit");
  }
  InitializeHeader(&semaphore->Header, SemaphoreObject, count);
  semaphore->Limit = limit;
}

LONG KeReleaseSemaphore(KSEMAPHORE* semaphore, KPRIORITY, LONG adjustment, BOOLEAN) {
  veltocam::host::RequireNonPagedAtDispatch(semaphore, "KeReleaseSemaphore");
  KernelState& k = Kernel();
  std::lock_guard lock(k.mutex);
  LONG previous = semaphore->Header.SignalState;
  if (adjustment <= 0 || previous > semaphore->Limit - adjustment) {
    ContractViolation("semaphore released beyond its limit");
    return previous;
  }
  semaphore->Header.SignalState = previous + adjustment;
  k.changed.notify_all();
  return previous;
}

LONG KeReadStateSemaphore(KSEMAPHORE* semaphore) {
  std::lock_guard lock(Kernel().mutex);
  return semaphore->Header.SignalState;
}

void KeInitializeTimer(KTIMER* timer) {
  KeInitializeTimerEx(timer, NotificationTimer);
}

void KeInitializeTimerEx(KTIMER* timer, TIMER_TYPE type) {
  veltocam::host::RequireNonPaged(timer, "a timer");
  {
    KernelState& k = Kernel();
    std::lock_guard lock(k.mutex);
    if (veltocam::host::detail::TimerArmedLocked(k, timer)) {
      ContractViolation("KeInitializeTimer of a timer that is still armed");
      return;
    }
  }
  InitializeHeader(&timer->Header,
                   type == NotificationTimer ? TimerNotificationObject : TimerSynchronizationObject,
                   0);
  timer->DueTime = timer->FireTime = 0;
  timer->TimerListEntry = {nullptr, nullptr};
  timer->Dpc = nullptr;
  timer->Period = 0;
}

BOOLEAN KeSetTimer(KTIMER* timer, LARGE_INTEGER dueTime, KDPC* dpc) {
  return KeSetTimerEx(timer, dueTime, 0, dpc);
}

BOOLEAN KeSetTimerEx(KTIMER* timer, LARGE_INTEGER dueTime, LONG periodMs, KDPC* dpc) {
  const bool wasArmed = veltocam::host::SetDeviceTimer(timer, dueTime.QuadPart, periodMs, dpc);
  // Another processor may find the timer expired (or run its DPC) at once.
  veltocam::host::detail::SchedulePoint();
  return wasArmed ? TRUE : FALSE;
}

namespace veltocam::host {

bool SetDeviceTimer(KTIMER* timer, std::int64_t dueTime, LONG periodMs, KDPC* dpc) {
  RequireNonPaged(timer, "a timer");
  if (dpc != nullptr) RequireNonPaged(dpc, "a DPC");
  KernelState& k = Kernel();
  std::lock_guard lock(k.mutex);
  const bool wasArmed = timer->Header.Inserted != 0;
  if (wasArmed) {
    RemoveEntryList(&timer->TimerListEntry);
    --k.timerCount;
  }
  timer->Header.SignalState = 0;
  timer->DueTime = detail::DeadlineLocked(k, dueTime);
  timer->Period = periodMs > 0 ? periodMs : 0;
  timer->Dpc = dpc;
  detail::InsertTimerLocked(k, timer);
  k.changed.notify_all();
  return wasArmed;
}

}  // namespace veltocam::host

BOOLEAN KeCancelTimer(KTIMER* timer) {
  KernelState& k = Kernel();
  std::lock_guard lock(k.mutex);
  if (!timer->Header.Inserted) return FALSE;
  RemoveEntryList(&timer->TimerListEntry);
  --k.timerCount;
  timer->Header.Inserted = 0;
  k.changed.notify_all();
  return TRUE;
}

BOOLEAN KeReadStateTimer(KTIMER* timer) {
  std::lock_guard lock(Kernel().mutex);
  return timer->Header.SignalState > 0 ? TRUE : FALSE;
}

NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                               LARGE_INTEGER* timeout) {
  return Wait(static_cast<DISPATCHER_HEADER*>(object), timeout);
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, LARGE_INTEGER* interval) {
  if (interval == nullptr) {
    ContractViolation("KeDelayExecutionThread without an interval");
    return STATUS_INVALID_PARAMETER;
  }
  Wait(nullptr, interval);
  return STATUS_SUCCESS;
}

void KeStallExecutionProcessor(ULONG microseconds) {
  LARGE_INTEGER interval;
  interval.QuadPart = -static_cast<LONGLONG>(microseconds) * 10;
  KernelState& k = Kernel();
  std::uint64_t deadline;
  SchedulerMode mode;
  {
    std::lock_guard lock(k.mutex);
    mode = k.mode;
    deadline = veltocam::host::detail::DeadlineLocked(k, interval.QuadPart);
  }
  if (mode == SchedulerMode::Deterministic) {
    if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
      PumpUntil(nullptr, true, deadline);
      return;
    }
    // At DISPATCH_LEVEL nothing else may run on this thread: only time moves,
    // and what came due runs at the next pump.
    std::lock_guard lock(k.mutex);
    if (k.virtualNow < deadline) k.virtualNow = deadline;
    return;
  }
  while (veltocam::host::Now() < deadline) {
  }
}
