// The host kernel: virtual time, waits, DPCs, timers, work items, IRQL,
// semaphores and pool accounting.
#include "platform/kernel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "platform/host/pool.h"
#include "platform/host/scheduler.h"
#include "platform/host/trace.h"

using namespace veltocam::host;

namespace {

LARGE_INTEGER Relative(std::int64_t hundredNs) {
  LARGE_INTEGER t;
  t.QuadPart = -hundredNs;
  return t;
}

struct DpcProbe {
  std::vector<std::uint64_t> times;
  std::vector<KIRQL> levels;
};

void RecordDpc(KDPC*, PVOID context, PVOID, PVOID) {
  auto* probe = static_cast<DpcProbe*>(context);
  probe->times.push_back(Now());
  probe->levels.push_back(KeGetCurrentIrql());
}

TEST(VirtualTime, WaitTimesOutAtItsDeadlineWithoutWallClock) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER nine = Relative(Seconds(9));
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &nine), STATUS_TIMEOUT);
  EXPECT_EQ(Now(), static_cast<std::uint64_t>(Seconds(9)));
}

TEST(VirtualTime, WaitIsSatisfiedByATimerDpcBeforeItsDeadline) {
  struct Ctx {
    KEVENT event;
    KTIMER timer;
    KDPC dpc;
  } ctx;
  KeInitializeEvent(&ctx.event, SynchronizationEvent, FALSE);
  KeInitializeTimer(&ctx.timer);
  KeInitializeDpc(
      &ctx.dpc,
      [](KDPC*, PVOID c, PVOID, PVOID) { KeSetEvent(&static_cast<Ctx*>(c)->event, 0, FALSE); },
      &ctx);
  KeSetTimer(&ctx.timer, Relative(Milliseconds(30)), &ctx.dpc);
  LARGE_INTEGER limit = Relative(Seconds(9));
  EXPECT_EQ(KeWaitForSingleObject(&ctx.event, Executive, KernelMode, FALSE, &limit),
            STATUS_SUCCESS);
  EXPECT_EQ(Now(), static_cast<std::uint64_t>(Milliseconds(30)));
  // A synchronisation event is consumed by the wait that it satisfied.
  LARGE_INTEGER zero = Relative(0);
  EXPECT_EQ(KeWaitForSingleObject(&ctx.event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
}

TEST(VirtualTime, AbsoluteTimeoutsAreSystemTimes) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  LARGE_INTEGER deadline;
  deadline.QuadPart = now.QuadPart + Milliseconds(5);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &deadline), STATUS_TIMEOUT);
  EXPECT_EQ(Now(), static_cast<std::uint64_t>(Milliseconds(5)));
}

TEST(Timers, OneShotAndPeriodicFireAtDispatchLevelInOrder) {
  DpcProbe oneShotProbe, periodicProbe;
  KTIMER oneShot, periodic;
  KDPC oneShotDpc, periodicDpc;
  KeInitializeTimer(&oneShot);
  KeInitializeTimer(&periodic);
  KeInitializeDpc(&oneShotDpc, RecordDpc, &oneShotProbe);
  KeInitializeDpc(&periodicDpc, RecordDpc, &periodicProbe);
  KeSetTimer(&oneShot, Relative(Milliseconds(2)), &oneShotDpc);
  KeSetTimerEx(&periodic, Relative(Milliseconds(10)), 10, &periodicDpc);

  AdvanceTime(Milliseconds(35));
  EXPECT_EQ(oneShotProbe.times, (std::vector<std::uint64_t>{Milliseconds(2)}));
  EXPECT_EQ(periodicProbe.times,
            (std::vector<std::uint64_t>{Milliseconds(10), Milliseconds(20), Milliseconds(30)}));
  for (KIRQL level : periodicProbe.levels) EXPECT_EQ(level, DISPATCH_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_TRUE(KeReadStateTimer(&oneShot));

  EXPECT_TRUE(KeCancelTimer(&periodic));
  EXPECT_FALSE(KeCancelTimer(&periodic));
  AdvanceTime(Milliseconds(100));
  EXPECT_EQ(periodicProbe.times.size(), 3u);
  EXPECT_EQ(ArmedTimerCount(), 0u);
}

TEST(Timers, ResettingAnArmedTimerReplacesItsDueTime) {
  DpcProbe probe;
  KTIMER timer;
  KDPC dpc;
  KeInitializeTimer(&timer);
  KeInitializeDpc(&dpc, RecordDpc, &probe);
  EXPECT_FALSE(KeSetTimer(&timer, Relative(Milliseconds(2)), &dpc));
  EXPECT_TRUE(KeSetTimer(&timer, Relative(Milliseconds(7)), &dpc));
  AdvanceTime(Milliseconds(10));
  EXPECT_EQ(probe.times, (std::vector<std::uint64_t>{Milliseconds(7)}));
}

TEST(Dpcs, ADpcIsQueuedOnceAndRunsOnlyWhenPumped) {
  DpcProbe probe;
  KDPC dpc;
  KeInitializeDpc(&dpc, RecordDpc, &probe);
  EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
  EXPECT_FALSE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
  EXPECT_TRUE(probe.times.empty());
  EXPECT_EQ(RunUntilIdle(), 1u);
  ASSERT_EQ(probe.levels.size(), 1u);
  EXPECT_EQ(probe.levels[0], DISPATCH_LEVEL);

  EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
  EXPECT_TRUE(KeRemoveQueueDpc(&dpc));
  EXPECT_EQ(RunUntilIdle(), 0u);
}

TEST(WorkItems, RunAtPassiveLevelInQueueOrderCriticalFirst) {
  static std::vector<int> order;
  order.clear();
  struct Item {
    WORK_QUEUE_ITEM item;
    int id;
  } items[3];
  auto routine = [](PVOID p) {
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    order.push_back(static_cast<Item*>(p)->id);
  };
  for (int i = 0; i < 3; ++i) {
    items[i].id = i;
    ExInitializeWorkItem(&items[i].item, routine, &items[i]);
  }
  ExQueueWorkItem(&items[0].item, DelayedWorkQueue);
  ExQueueWorkItem(&items[1].item, CriticalWorkQueue);
  ExQueueWorkItem(&items[2].item, CriticalWorkQueue);
  EXPECT_EQ(QueuedWorkItemCount(), 3u);
  RunUntilIdle();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 0}));
}

TEST(WorkItems, AWaitAtPassiveLevelRunsTheWorkThatSignalsIt) {
  struct Ctx {
    WORK_QUEUE_ITEM item;
    KSEMAPHORE done;
  } ctx;
  KeInitializeSemaphore(&ctx.done, 0, 1);
  ExInitializeWorkItem(
      &ctx.item, [](PVOID p) { KeReleaseSemaphore(&static_cast<Ctx*>(p)->done, 0, 1, FALSE); },
      &ctx);
  ExQueueWorkItem(&ctx.item, DelayedWorkQueue);
  EXPECT_EQ(KeWaitForSingleObject(&ctx.done, Executive, KernelMode, FALSE, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(Now(), 0u);
}

TEST(Semaphores, CountsDownToZeroAndBackUpToTheLimit) {
  KSEMAPHORE s;
  KeInitializeSemaphore(&s, 2, 2);
  LARGE_INTEGER zero = Relative(0);
  EXPECT_EQ(KeWaitForSingleObject(&s, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&s, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&s, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  EXPECT_EQ(KeReleaseSemaphore(&s, 0, 2, FALSE), 0);
  EXPECT_EQ(KeReadStateSemaphore(&s), 2);
}

TEST(SemaphoresDeathTest, ReleasingPastTheLimitIsAContractViolation) {
  KSEMAPHORE s;
  KeInitializeSemaphore(&s, 1, 1);
  EXPECT_DEATH(KeReleaseSemaphore(&s, 0, 1, FALSE), "semaphore released beyond its limit");
}

TEST(IrqlDeathTest, WaitingWithATimeoutAtDispatchLevelIsAContractViolation) {
  EXPECT_DEATH(
      {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        LARGE_INTEGER t = Relative(Milliseconds(1));
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &t);
      },
      "non-zero time-out at DISPATCH_LEVEL");
}

TEST(IrqlDeathTest, AWaitNothingCanSatisfyIsReportedNotHung) {
  EXPECT_DEATH(
      {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      },
      "nothing left to run");
}

TEST(SpinLocks, RaiseToDispatchAndRestoreTheCallersLevel) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(SpinLocksDeathTest, RecursiveAcquireIsAContractViolation) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  EXPECT_DEATH(
      {
        KIRQL first;
        KIRQL second;
        KeAcquireSpinLock(&lock, &first);
        KeAcquireSpinLock(&lock, &second);
      },
      "acquired twice");
}

TEST(InterlockedLists, InsertHeadAndTailAndRemoveHead) {
  LIST_ENTRY head, a, b, c;
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  InitializeListHead(&head);
  EXPECT_EQ(ExInterlockedInsertTailList(&head, &a, &lock), nullptr);
  EXPECT_EQ(ExInterlockedInsertTailList(&head, &b, &lock), &a);
  EXPECT_EQ(ExInterlockedInsertHeadList(&head, &c, &lock), &a);
  EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &c);
  EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &a);
  EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &b);
  EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), nullptr);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(Pool, CountsOutstandingBlocksPerTagAndFailsTheNthAllocation) {
  constexpr ULONG kTag = PoolTag("Wdm ");
  void* a = ExAllocatePoolWithTag(NonPagedPool, 100, kTag);
  void* b = ExAllocatePoolWithTag(NonPagedPool, 28, kTag);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(OutstandingBlocks(kTag), 2u);
  EXPECT_EQ(OutstandingBytes(kTag), 128u);
  EXPECT_EQ(TagName(kTag), "Wdm ");

  FailNthAllocation(2);
  void* c = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
  EXPECT_NE(c, nullptr);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kTag), nullptr);
  void* d = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
  EXPECT_NE(d, nullptr);
  EXPECT_EQ(FailedAllocationCount(), 1u);

  for (void* p : {a, b, c, d}) ExFreePool(p);
  EXPECT_EQ(OutstandingBlocks(), 0u);
}

TEST(PoolDeathTest, DoubleFreeIsAContractViolation) {
  EXPECT_DEATH(
      {
        void* p = ExAllocatePoolWithTag(NonPagedPool, 4, PoolTag("Test"));
        ExFreePool(p);
        ExFreePool(p);
      },
      "does not own");
}

TEST(Trace, DbgPrintGoesToTheSinkLineByLine) {
  TraceCapture trace;
  DbgPrint("(Velto) %s=%d 0x%04x\n(VELT) half", "FrameRate", 30, 0x2B);
  DbgPrint(" line\n");
  EXPECT_EQ(trace.Lines(),
            (std::vector<std::string>{"(Velto) FrameRate=30 0x002b", "(VELT) half line"}));
}

TEST(Strings, NarrowPrintfFollowsTheKernelsStringConventions) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"CONTROL");
  char text[64];
  EXPECT_EQ(RtlStringCchPrintfA(text, sizeof text, "%S|%wZ|%-4s|%5.2s|%c", u"wide", &name, "ab",
                                "xyz", 'q'),
            STATUS_SUCCESS);
  EXPECT_EQ(std::string(text), "wide|CONTROL|ab  |   xy|q");
}

TEST(Strings, NarrowPrintfFormatsEveryLengthOfNumberAndCountedStrings) {
  ANSI_STRING ansi{3, 3, const_cast<char*>("abc")};
  char text[128];
  EXPECT_EQ(
      RtlStringCchPrintfA(text, sizeof text, "%I64d|%lld|%hd|%hx|%lu|%zu|%*d|%.3d|%-3d|%Z|%%|%q",
                          -5000000000LL, 7LL, 70000, 0x12345u, 4000000000UL, std::size_t{9}, 4, 12,
                          5, 6, &ansi),
      STATUS_SUCCESS);
  EXPECT_EQ(std::string(text), "-5000000000|7|4464|2345|4000000000|9|  12|005|6  |abc|%|%q");
}

TEST(Strings, WidePrintfTakesNarrowTextForCapitalS) {
  WCHAR path[64];
  EXPECT_EQ(RtlStringCchPrintfW(path, 64, u"\\Registry\\MACHINE\\SOFTWARE\\%S\\CONTROL", "CAM"),
            STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(path), u"\\Registry\\MACHINE\\SOFTWARE\\CAM\\CONTROL");
  WCHAR small[8];
  EXPECT_EQ(RtlStringCchPrintfW(small, 8, u"Ini%d", 123456), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(std::u16string(small), u"Ini1234");
}

TEST(RealTime, WorkItemsAndDpcsRunOnTheirThreads) {
  ResetKernel(SchedulerMode::RealTime);
  struct Ctx {
    WORK_QUEUE_ITEM item;
    KDPC dpc;
    KEVENT fromWork, fromDpc;
    std::atomic<KIRQL> dpcLevel{PASSIVE_LEVEL};
  } ctx;
  KeInitializeEvent(&ctx.fromWork, NotificationEvent, FALSE);
  KeInitializeEvent(&ctx.fromDpc, NotificationEvent, FALSE);
  ExInitializeWorkItem(
      &ctx.item, [](PVOID p) { KeSetEvent(&static_cast<Ctx*>(p)->fromWork, 0, FALSE); }, &ctx);
  KeInitializeDpc(
      &ctx.dpc,
      [](KDPC*, PVOID p, PVOID, PVOID) {
        auto* c = static_cast<Ctx*>(p);
        c->dpcLevel = KeGetCurrentIrql();
        KeSetEvent(&c->fromDpc, 0, FALSE);
      },
      &ctx);
  ExQueueWorkItem(&ctx.item, CriticalWorkQueue);
  KeInsertQueueDpc(&ctx.dpc, nullptr, nullptr);
  EXPECT_EQ(KeWaitForSingleObject(&ctx.fromWork, Executive, KernelMode, FALSE, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&ctx.fromDpc, Executive, KernelMode, FALSE, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(ctx.dpcLevel.load(), DISPATCH_LEVEL);
  ShutdownKernel();
}

}  // namespace
