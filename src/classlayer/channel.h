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
};
