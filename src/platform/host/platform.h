// The host platform as a whole: start-up and reset for programs and tests.
#pragma once

#include <string>

#include "platform/host/scheduler.h"

namespace veltocam::host {

// Returns every part of the platform to its start state: kernel queues and
// clock, pool (outstanding blocks are freed), handles, trace sink, CPUID,
// and the other host services: the registry is emptied (the hives remain),
// device key paths are forgotten, file faults cleared and the system root
// unset, so a program sets its system root after the reset.
void ResetPlatform(SchedulerMode mode = SchedulerMode::Deterministic);

// What a finished test or program left behind: pool blocks, open handles,
// armed timers, queued DPCs and work items, packets still at a driver, a
// raised IRQL, contract violations; empty when nothing.
std::string DescribeLeftovers();

}  // namespace veltocam::host
