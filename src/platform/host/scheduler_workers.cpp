// Worker threads of the deterministic scheduler. A work item that starts
// while the pumping thread is inside a kernel wait runs on a thread of its
// own; the pumping thread holds still until the item finishes or parks in a
// wait nothing on its thread can satisfy. A parked item is resumed by a later
// pump once its object is signalled, its time-out has come or an APC waits
// for it. Only one thread runs at a time: the baton is `running`, handed over
// under the kernel's lock.
#include "platform/host/contract_violations.h"
#include "platform/host/kernel_internal.h"

namespace veltocam::host::detail {
namespace {

thread_local int t_kernelWaits = 0;
thread_local Worker* t_worker = nullptr;

void WorkerLoop(Worker* w) {
  t_worker = w;
  KernelState& k = Kernel();
  std::unique_lock lock(k.mutex);
  for (;;) {
    k.changed.wait(lock, [&] { return w->running || w->quit; });
    if (w->quit) return;
    WORK_QUEUE_ITEM* item = w->item;
    lock.unlock();
    RunWorkItem(item);
    lock.lock();
    w->item = nullptr;
    w->busy = false;
    w->running = false;
    k.changed.notify_all();
  }
}

// Hands the baton to `w` and waits until it comes back.
void RunUntilBatonBackLocked(KernelState& k, std::unique_lock<std::mutex>& lock, Worker* w) {
  w->running = true;
  k.changed.notify_all();
  k.changed.wait(lock, [&] { return !w->running; });
}

bool ReadyLocked(KernelState& k, Worker* w) {
  if (!w->parked) return false;
  if (w->context != nullptr && !w->context->apcs.empty()) return true;
  if (w->header != nullptr && TrySatisfyLocked(w->header)) {
    w->satisfied = true;
    return true;
  }
  return w->hasDeadline && NowLocked(k) >= w->deadline;
}

}  // namespace

void EnterKernelWait() {
  ++t_kernelWaits;
}

void LeaveKernelWait() {
  --t_kernelWaits;
}

bool InKernelWait() {
  return t_kernelWaits > 0 && t_worker == nullptr;
}

bool OnWorkerThread() {
  return t_worker != nullptr;
}

void RunOnWorkerLocked(KernelState& k, std::unique_lock<std::mutex>& lock, WORK_QUEUE_ITEM* item) {
  Worker* w = nullptr;
  for (auto& candidate : k.workerThreads) {
    if (!candidate->busy) w = candidate.get();
  }
  if (w == nullptr) {
    k.workerThreads.push_back(std::make_unique<Worker>());
    w = k.workerThreads.back().get();
    w->thread = std::thread(WorkerLoop, w);
  }
  w->item = item;
  w->busy = true;
  RunUntilBatonBackLocked(k, lock, w);
}

bool ResumeReadyWorkerLocked(KernelState& k, std::unique_lock<std::mutex>& lock) {
  for (auto& w : k.workerThreads) {
    if (ReadyLocked(k, w.get())) {
      RunUntilBatonBackLocked(k, lock, w.get());
      return true;
    }
  }
  return false;
}

bool EarliestParkedDeadlineLocked(const KernelState& k, std::uint64_t* deadline) {
  bool found = false;
  for (const auto& w : k.workerThreads) {
    if (!w->parked || !w->hasDeadline) continue;
    if (!found || w->deadline < *deadline) *deadline = w->deadline;
    found = true;
  }
  return found;
}

std::size_t BusyWorkersLocked(const KernelState& k) {
  std::size_t busy = 0;
  for (const auto& w : k.workerThreads) busy += w->busy ? 1 : 0;
  return busy;
}

NTSTATUS WorkerWait(DISPATCHER_HEADER* header, bool hasDeadline, std::uint64_t deadline) {
  KernelState& k = Kernel();
  Worker* w = t_worker;
  for (;;) {
    DeliverApcs();
    if (RunOneReady(false)) {  // DPCs run on this thread, as on any processor
      std::lock_guard lock(k.mutex);
      if (header != nullptr && TrySatisfyLocked(header)) return STATUS_SUCCESS;
      continue;
    }
    std::unique_lock lock(k.mutex);
    if (header != nullptr && TrySatisfyLocked(header)) return STATUS_SUCCESS;
    if (hasDeadline && NowLocked(k) >= deadline) return STATUS_TIMEOUT;
    KTIMER* t = FirstTimerLocked(k);
    if (t != nullptr && t->FireTime <= k.virtualNow) {
      FireTimerLocked(k, t);
      continue;
    }
    w->context = &CurrentContext();
    w->header = header;
    w->hasDeadline = hasDeadline;
    w->deadline = deadline;
    w->satisfied = false;
    w->parked = true;
    w->running = false;
    k.changed.notify_all();
    k.changed.wait(lock, [&] { return w->running; });
    w->parked = false;
    if (w->satisfied) return STATUS_SUCCESS;
  }
}

void StopWorkers(KernelState& k) {
  std::vector<std::unique_ptr<Worker>> workers;
  {
    std::lock_guard lock(k.mutex);
    workers.swap(k.workerThreads);
    for (auto& w : workers) w->quit = !w->busy;
    k.changed.notify_all();
  }
  for (auto& w : workers) {
    if (w->quit) {
      w->thread.join();
    } else {
      // Parked in a wait nothing will satisfy: the test that left it has
      // failed; its thread stays blocked until the process ends.
      w->thread.detach();
      w.release();  // NOLINT(bugprone-unused-return-value): the abandoned thread still uses it
    }
  }
}

}  // namespace veltocam::host::detail
