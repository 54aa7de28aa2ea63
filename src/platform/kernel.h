// Kernel services the driver uses: IRQL and spin locks, dispatcher objects
// (events, semaphores, timers), deferred procedure calls, work items, pool,
// interlocked lists, time, memory and string helpers, debugger output, CPUID.
#pragma once

#include <cstring>

#include "platform/ntdef.h"

// ---- Interrupt request level ----------------------------------------------
using KIRQL = UCHAR;
constexpr KIRQL PASSIVE_LEVEL = 0;
constexpr KIRQL APC_LEVEL = 1;
constexpr KIRQL DISPATCH_LEVEL = 2;

KIRQL KeGetCurrentIrql();
void KeRaiseIrql(KIRQL newIrql, KIRQL* oldIrql);
void KeLowerIrql(KIRQL newIrql);
KIRQL KeRaiseIrqlToDpcLevel();

// ---- Spin locks -------------------------------------------------------------
using KSPIN_LOCK = ULONG_PTR;

void KeInitializeSpinLock(KSPIN_LOCK* lock);
void KeAcquireSpinLock(KSPIN_LOCK* lock, KIRQL* oldIrql);
void KeReleaseSpinLock(KSPIN_LOCK* lock, KIRQL newIrql);
void KeAcquireSpinLockAtDpcLevel(KSPIN_LOCK* lock);
void KeReleaseSpinLockFromDpcLevel(KSPIN_LOCK* lock);

// ---- Dispatcher objects -----------------------------------------------------
enum EVENT_TYPE { NotificationEvent, SynchronizationEvent };
enum TIMER_TYPE { NotificationTimer, SynchronizationTimer };
enum KWAIT_REASON { Executive = 0, Suspended = 5, UserRequest = 6 };
enum KPROCESSOR_MODE : CHAR { KernelMode = 0, UserMode = 1 };

// Object types kept in DISPATCHER_HEADER::Type.
constexpr UCHAR EventNotificationObject = 0;
constexpr UCHAR EventSynchronizationObject = 1;
constexpr UCHAR SemaphoreObject = 5;
constexpr UCHAR TimerNotificationObject = 8;
constexpr UCHAR TimerSynchronizationObject = 9;

struct DISPATCHER_HEADER {
  UCHAR Type;
  UCHAR Inserted;  // timers: armed
  UCHAR Reserved[2];
  LONG SignalState;
};

struct KEVENT {
  DISPATCHER_HEADER Header;
};

struct KSEMAPHORE {
  DISPATCHER_HEADER Header;
  LONG Limit;
};

struct KDPC;
using PKDEFERRED_ROUTINE = void (*)(KDPC* dpc, PVOID deferredContext, PVOID systemArgument1,
                                    PVOID systemArgument2);

struct KDPC {
  UCHAR Type;
  UCHAR Inserted;
  UCHAR Number;  // processor whose queue holds it
  LIST_ENTRY DpcListEntry;
  PKDEFERRED_ROUTINE DeferredRoutine;
  PVOID DeferredContext;
  PVOID SystemArgument1;
  PVOID SystemArgument2;
};

struct KTIMER {
  DISPATCHER_HEADER Header;
  ULONGLONG DueTime;   // absolute interrupt time, 100 ns units
  ULONGLONG FireTime;  // when the clock interrupt finds it: up to one tick after DueTime
  LIST_ENTRY TimerListEntry;
  KDPC* Dpc;
  LONG Period;  // milliseconds, 0 = one-shot
};

void KeInitializeEvent(KEVENT* event, EVENT_TYPE type, BOOLEAN state);
LONG KeSetEvent(KEVENT* event, KPRIORITY increment, BOOLEAN wait);
LONG KeResetEvent(KEVENT* event);
void KeClearEvent(KEVENT* event);
LONG KeReadStateEvent(KEVENT* event);

void KeInitializeSemaphore(KSEMAPHORE* semaphore, LONG count, LONG limit);
// Returns the previous count. Releasing beyond the limit is a caller error:
// the count stays at the limit and the platform reports the violation.
LONG KeReleaseSemaphore(KSEMAPHORE* semaphore, KPRIORITY increment, LONG adjustment, BOOLEAN wait);
LONG KeReadStateSemaphore(KSEMAPHORE* semaphore);

void KeInitializeDpc(KDPC* dpc, PKDEFERRED_ROUTINE routine, PVOID context);
BOOLEAN KeInsertQueueDpc(KDPC* dpc, PVOID systemArgument1, PVOID systemArgument2);
BOOLEAN KeRemoveQueueDpc(KDPC* dpc);
// Returns once every DPC queued before the call has run.
void KeFlushQueuedDpcs();

void KeInitializeTimer(KTIMER* timer);
void KeInitializeTimerEx(KTIMER* timer, TIMER_TYPE type);
// dueTime: negative = relative, positive = absolute system time (100 ns units).
BOOLEAN KeSetTimer(KTIMER* timer, LARGE_INTEGER dueTime, KDPC* dpc);
BOOLEAN KeSetTimerEx(KTIMER* timer, LARGE_INTEGER dueTime, LONG periodMs, KDPC* dpc);
BOOLEAN KeCancelTimer(KTIMER* timer);
BOOLEAN KeReadStateTimer(KTIMER* timer);

// object: a KEVENT, KSEMAPHORE or KTIMER. timeout: null = forever, negative =
// relative, positive = absolute; returns STATUS_SUCCESS or STATUS_TIMEOUT.
NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON waitReason, KPROCESSOR_MODE waitMode,
                               BOOLEAN alertable, LARGE_INTEGER* timeout);
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE waitMode, BOOLEAN alertable,
                                LARGE_INTEGER* interval);
// Busy-waits; under the deterministic scheduler virtual time moves on instead
// (running what comes due meanwhile, as other processors would).
void KeStallExecutionProcessor(ULONG microseconds);

// ---- Work items -------------------------------------------------------------
enum WORK_QUEUE_TYPE { CriticalWorkQueue = 0, DelayedWorkQueue = 1 };
using PWORKER_THREAD_ROUTINE = void (*)(PVOID parameter);

struct WORK_QUEUE_ITEM {
  LIST_ENTRY List;
  PWORKER_THREAD_ROUTINE WorkerRoutine;
  PVOID Parameter;
};

inline void ExInitializeWorkItem(WORK_QUEUE_ITEM* item, PWORKER_THREAD_ROUTINE routine,
                                 PVOID parameter) {
  item->List.Flink = nullptr;
  item->List.Blink = nullptr;
  item->WorkerRoutine = routine;
  item->Parameter = parameter;
}
// The routine runs later at PASSIVE_LEVEL on a worker of the given queue.
void ExQueueWorkItem(WORK_QUEUE_ITEM* item, WORK_QUEUE_TYPE queue);

// ---- Pool -------------------------------------------------------------------
enum POOL_TYPE { NonPagedPool = 0, PagedPool = 1 };

// A pool tag from its four characters in memory order ("Wdm " -> 'W','d','m',' ').
constexpr ULONG PoolTag(const char (&text)[5]) {
  return static_cast<ULONG>(static_cast<UCHAR>(text[0])) |
         static_cast<ULONG>(static_cast<UCHAR>(text[1])) << 8 |
         static_cast<ULONG>(static_cast<UCHAR>(text[2])) << 16 |
         static_cast<ULONG>(static_cast<UCHAR>(text[3])) << 24;
}

PVOID ExAllocatePoolWithTag(POOL_TYPE poolType, SIZE_T numberOfBytes, ULONG tag);
void ExFreePool(PVOID block);
void ExFreePoolWithTag(PVOID block, ULONG tag);

// ---- Interlocked operations -------------------------------------------------
// Out of line: each is a point where another processor may run first.
LONG InterlockedIncrement(LONG volatile* addend);
LONG InterlockedDecrement(LONG volatile* addend);
LONG InterlockedExchange(LONG volatile* target, LONG value);
LONG InterlockedExchangeAdd(LONG volatile* addend, LONG value);
LONG InterlockedCompareExchange(LONG volatile* destination, LONG exchange, LONG comparand);

// List operations under a spin lock; each returns the entry that was first
// (insert) or the removed entry, or null when the list was empty.
LIST_ENTRY* ExInterlockedInsertHeadList(LIST_ENTRY* head, LIST_ENTRY* entry, KSPIN_LOCK* lock);
LIST_ENTRY* ExInterlockedInsertTailList(LIST_ENTRY* head, LIST_ENTRY* entry, KSPIN_LOCK* lock);
LIST_ENTRY* ExInterlockedRemoveHeadList(LIST_ENTRY* head, KSPIN_LOCK* lock);

// ---- Time -------------------------------------------------------------------
// System time: 100 ns units since 1601-01-01.
void KeQuerySystemTime(LARGE_INTEGER* currentTime);
// Time since start-up in 100 ns units.
ULONGLONG KeQueryInterruptTime();
LARGE_INTEGER KeQueryPerformanceCounter(LARGE_INTEGER* performanceFrequency);

// ---- Memory and strings -----------------------------------------------------
inline void RtlZeroMemory(void* destination, SIZE_T length) {
  std::memset(destination, 0, length);
}
inline void RtlFillMemory(void* destination, SIZE_T length, UCHAR fill) {
  std::memset(destination, fill, length);
}
inline void RtlCopyMemory(void* destination, const void* source, SIZE_T length) {
  std::memcpy(destination, source, length);
}
inline void RtlMoveMemory(void* destination, const void* source, SIZE_T length) {
  std::memmove(destination, source, length);
}
inline SIZE_T RtlCompareMemory(const void* a, const void* b, SIZE_T length) {
  const auto* pa = static_cast<const UCHAR*>(a);
  const auto* pb = static_cast<const UCHAR*>(b);
  SIZE_T i = 0;
  while (i < length && pa[i] == pb[i]) ++i;
  return i;
}

void RtlInitUnicodeString(UNICODE_STRING* destination, const WCHAR* source);
void RtlInitAnsiString(ANSI_STRING* destination, const CHAR* source);
// allocate: the buffer comes from the pool and is released by RtlFreeUnicodeString.
NTSTATUS RtlAnsiStringToUnicodeString(UNICODE_STRING* destination, const ANSI_STRING* source,
                                      BOOLEAN allocate);
void RtlFreeUnicodeString(UNICODE_STRING* string);

// Bounded formatting as the safe-string routines. In the wide form %s is a
// wide string and %S a narrow one; in the narrow form the other way round.
// Both always terminate; STATUS_BUFFER_OVERFLOW when the text was cut.
NTSTATUS RtlStringCchPrintfW(WCHAR* destination, SIZE_T capacity, const WCHAR* format, ...);
NTSTATUS RtlStringCchPrintfA(CHAR* destination, SIZE_T capacity, const CHAR* format, ...);

// ---- Objects ----------------------------------------------------------------
// Closes a registry key or file handle.
NTSTATUS ZwClose(HANDLE handle);

// ---- Debugger output --------------------------------------------------------
// printf-style; %S and %ws take a wide string, %wZ a UNICODE_STRING pointer.
ULONG DbgPrint(const CHAR* format, ...) __attribute__((format(printf, 1, 2)));

// ---- Processor --------------------------------------------------------------
// The CPUID instruction: cpuInfo receives EAX, EBX, ECX, EDX of the leaf.
void PlatformCpuid(int cpuInfo[4], int leaf);
