// Channel: the class layer's per-stream record (the stream extension).
#pragma once

#include "classlayer/device_layer_services.h"
#include "classlayer/frame_request.h"
#include "classlayer/transfer_set.h"

constexpr ULONG kChannelTag = 0x4348414E;

// StateFlags bits.
constexpr ULONG kChannelStopping = 0x1;
constexpr ULONG kChannelAwaitingIdle = 0x4;  // a reset waits for the transfers to come back
constexpr ULONG kChannelWatchdogArmed = 0x8;

// PipeKind values.
constexpr UCHAR kPipeKindIsochronous = 1;
constexpr UCHAR kPipeKindBulk = 2;

struct Channel {
  ULONG Tag;
  ClassDevice* Device;
  ULONG StateFlags;
  ULONG ErrorFlag;
  ULONG Streaming;
  ULONG Prepared;
  ULONG Virtual;
  ULONG SnapshotPending;
  KEVENT ResetEvent;
  KEVENT StopEvent;
  KTIMER WatchdogTimer;
  FrameRequest* Current;
  KSPIN_LOCK CurrentLock;
  TransferSet Transfers[kTransferSetsPerChannel];
  KDPC WatchdogDpc;
  LIST_ENTRY ReadQueue;
  KSPIN_LOCK QueueLock;
  ULONG RawFrameLength;
  KSEMAPHORE WorkLock;
  UCHAR StreamNumber;
  UCHAR PipeKind;
  LONG SyncPipe;  // -1 when there is none
  LONG DataPipe;
  HANDLE MasterClock;
  KS_FRAME_INFO FrameInfo;
  PVOID ResetWork;
  KS_VIDEOINFOHEADER* VideoInfo;
  ULONG StreamState;
  DeviceStreamHandler DeviceControlHandler;
  DeviceStreamHandler DeviceDataHandler;
  KSDATAFORMAT* OpenFormat;
  LONGLONG FramesCompleted;
  LONGLONG StartTime;
  UCHAR TakeStartTime;
  UCHAR NoRawProcessing;
  UCHAR StoppedByClient;
  // Frame completion work items queued for this channel and not yet done:
  // they refer to the channel, so close waits for none to be left.
  LONG CompletionsInFlight;
  // Their frames, oldest first (under the device's CompletionLock): two items
  // may run on two worker threads and take WorkLock in either order, so each
  // completes the oldest frame, not its own, and reads complete in order.
  LIST_ENTRY FinishedFrames;
  // Bytes of the channel's format copy (OpenFormat, VideoInfo inside it).
  ULONG FormatCapacity;
};

// StateFlags is changed from passive level and from the watchdog's DPC: every
// change is one interlocked operation, so neither side loses the other's bit.
inline ULONG ChangeStateFlags(Channel* channel, ULONG set, ULONG clear) {
  auto* flags = reinterpret_cast<LONG volatile*>(&channel->StateFlags);
  LONG seen = *flags;
  for (;;) {
    const auto wanted = static_cast<LONG>((static_cast<ULONG>(seen) & ~clear) | set);
    const LONG before = InterlockedCompareExchange(flags, wanted, seen);
    if (before == seen) return static_cast<ULONG>(before);
    seen = before;
  }
}
inline void SetStateFlags(Channel* channel, ULONG flags) {
  ChangeStateFlags(channel, flags, 0);
}
// True when any of the flags was set (and is now clear).
inline bool ClearStateFlags(Channel* channel, ULONG flags) {
  return (ChangeStateFlags(channel, 0, flags) & flags) != 0;
}
inline bool HasStateFlags(const Channel* channel, ULONG flags) {
  return (__atomic_load_n(&channel->StateFlags, __ATOMIC_SEQ_CST) & flags) != 0;
}
