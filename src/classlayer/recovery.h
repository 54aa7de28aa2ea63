// The per-channel watchdog and the recovery it starts: when a channel's
// transfers have all come back after an error, a work item checks the port,
// resets it if disabled, aborts and resets the pipes, restarts capture through
// the device layer and resubmits the transfers. The watchdog also finishes
// stops and pending resets once the transfers are idle.
#pragma once

#include "classlayer/channel.h"
#include "classlayer/device.h"

constexpr LONGLONG kVideoWatchdogPeriod = -2'500'000;  // 250 ms
constexpr LONGLONG kStillWatchdogPeriod = -2'900'000;  // 290 ms
constexpr LONGLONG kIdleWaitTimeout = -80'000'000;     // 8 s

// Arms the watchdog (first expiry after one period) and sets the armed flag.
void StartWatchdog(Channel* channel);
// Clears the armed flag and cancels the timer.
void StopWatchdog(Channel* channel);
void WatchdogTimerDpc(KDPC* dpc, PVOID channel, PVOID, PVOID);

// Abort or reset the channel's data pipe, then its sync pipe if it has one;
// the first failure ends the sequence and is the result.
NTSTATUS AbortChannelPipes(ClassDevice* device, Channel* channel);
NTSTATUS ResetChannelPipes(ClassDevice* device, Channel* channel);

// Points the channel at the pipes its stream was given at configuration;
// false when it has none of its own (the virtual still stream).
bool AimChannelAtItsPipes(ClassDevice* device, Channel* channel);
// Starts the transfers of the channel's pipe kind: the isochronous sets, or
// the bulk reads.
void StartChannelTransfers(ClassDevice* device, Channel* channel);

// False when a recovery of the channel's stream is already running.
bool QueueChannelReset(ClassDevice* device, Channel* channel, FrameRequest* request);
void ChannelResetWork(PVOID workItem);
NTSTATUS ResetAndRestart(ClassDevice* device, Channel* channel, NTSTATUS portStatusResult,
                         ULONG portStatus);

// Service interface entry, always on stream 0: state 1 stops streaming (reads
// stay queued), any other value restarts it. Above APC level it is deferred
// to a work item and returns STATUS_PENDING.
NTSTATUS IsoPipeControl(PVOID deviceContext, ULONG state);
// SRB_CHANGE_POWER_STATE; the result is the request's status.
NTSTATUS ChangePowerState(HW_STREAM_REQUEST_BLOCK* srb);
