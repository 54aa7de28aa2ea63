// The host kernel's scheduler: one set of DPC, timer and work queues, run in
// one of two modes.
//
// Deterministic (tests): virtual time that moves only when the test advances
// it or a wait needs it to; nothing runs until it is pumped. A wait pumps DPCs,
// timers and work items, advancing virtual time to the next due timer, until
// it is satisfied or its time-out passes, so a 9 s time-out costs microseconds.
//
// Real time (the command-line tool): a dispatcher thread runs expired timers
// and DPCs at DISPATCH_LEVEL, one worker thread per work queue runs work
// items, and time is the wall clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "platform/kernel.h"

namespace veltocam::host {

enum class SchedulerMode { Deterministic, RealTime };

// Discards every queued DPC, timer and work item, restarts the clock at zero
// and selects the mode (stopping or starting the real-time threads).
void ResetKernel(SchedulerMode mode = SchedulerMode::Deterministic);
// Stops the real-time threads after they have drained; the mode becomes
// deterministic.
void ShutdownKernel();
SchedulerMode CurrentSchedulerMode();

// How late the clock interrupt may find an expired timer under a seeded schedule.
constexpr std::uint64_t kClockTick = 10'000;

// Seeded schedule (deterministic mode only): wherever the platform could let
// another processor or thread run, what runs next is picked at random among
// what is ready, from a generator seeded with `seed`, and timers fire up to one
// clock tick late. 0 = the fixed order. The seed outlives ResetKernel, which
// restarts the generator from it, so a program that resets the platform runs
// under the seed its test chose.
void SetScheduleSeed(std::uint64_t seed);
bool ScheduleIsSeeded();
// Times a schedule point ran something else first, since the last reset.
std::uint64_t ScheduledInterleavings();

// Time since start-up in 100 ns units (virtual or wall clock).
std::uint64_t Now();

// Deterministic pumping; all of these run on the calling thread.
bool RunNext();              // one ready DPC (first) or work item; false if none
std::size_t RunUntilIdle();  // everything ready, without moving time; returns count
void AdvanceTime(std::int64_t hundredNanoseconds);  // fires due timers in order
bool AdvanceToNextTimer();                          // moves time to the next timer and fires it
// The one virtual-time pump: until `done` holds, runs what is ready (work
// items only at PASSIVE_LEVEL), else moves time to the next timer due by the
// deadline and fires it, else moves time to the deadline and gives up.
// `deadline` null: no deadline (false when nothing is left to run). Returns
// whether `done` held.
bool PumpUntil(const std::function<bool()>& done, const std::uint64_t* deadline);
// Due time of the first armed timer (scheduler time); false when none is armed.
bool NextTimerDue(std::uint64_t* due);

std::size_t QueuedDpcCount();
std::size_t ArmedTimerCount();
std::size_t QueuedWorkItemCount();

// Timer and DPC queueing for the host's simulated hardware (the bus, the
// port), which queues under locks of its own: the same as KeSetTimerEx and
// KeInsertQueueDpc but no schedule point, since what a schedule point runs
// may need those locks. Driver code uses the kernel's routines.
bool SetDeviceTimer(KTIMER* timer, std::int64_t dueTime, LONG periodMs, KDPC* dpc);
bool QueueDeviceDpc(KDPC* dpc);

// Milliseconds to 100 ns units, for readable tests.
constexpr std::int64_t Milliseconds(std::int64_t ms) {
  return ms * 10'000;
}
constexpr std::int64_t Seconds(std::int64_t s) {
  return s * 10'000'000;
}

}  // namespace veltocam::host
