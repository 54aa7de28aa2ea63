// Bulk and interrupt transfer services: reads of a stream served by a bulk
// pipe, stream 1 writes over a bulk OUT pipe, and the service interface's
// bulk, interrupt and cancel entries.
//
// A transfer is split into chunks of at most the pipe's maximum transfer
// size, each a whole number of packets; a read shorter than one packet goes
// through a bounce buffer so the device can never write past the caller's
// bytes. The transfer ends when every byte moved or a chunk comes back short.
// A pipe has at most one transfer in flight (its PendingTransfer slot); one
// paused around an alternate-setting change waits in SavedTransfer.
#pragma once

#include "classlayer/channel.h"
#include "classlayer/device.h"
#include "classlayer/service_interface.h"

// CancelFlags bits.
constexpr ULONG kBulkCancelWaiting = 0x1;   // a canceller waits on CancelEvent and owns the record
constexpr ULONG kBulkOwnerCancelled = 0x2;  // the read or write it serves was cancelled
constexpr ULONG kBulkCancelTaken = 0x4;     // a canceller took it over; no other may

struct BulkTransferRecord {
  ULONG Tag;  // kTransferSetTag
  LONG PendingCount;
  URB* Urb;
  IRP* Irp;
  UCHAR* BounceBuffer;  // 2 x MaxPacketSize
  ULONG Remaining;
  ULONG Chunk;         // length of the request in flight
  ULONG Total;         // bytes moved so far
  UCHAR* Cursor;       // where the next chunk goes
  UCHAR* UserPointer;  // the caller's position while the bounce buffer is used
  LONG PipeIndex;
  UCHAR UsingBounce;
  KEVENT CancelEvent;
  ULONG CancelFlags;
  ServiceCompletion Completion;
  PVOID CompletionContext;
  UCHAR Resubmit;
  UCHAR SignalEvent;
  ClassDevice* Device;
  ::Channel* Channel;     // null unless the transfer fills the channel's read
  FrameRequest* Request;  // the read it fills
  // What the caller asked for, so a paused or resubmitted transfer starts over.
  PVOID Buffer;
  ULONG Length;
  // The pipe as it was when the transfer started.
  USBD_PIPE_HANDLE PipeHandle;
  ULONG MaxTransfer;
  USHORT MaxPacketSize;
  UCHAR DirectionIn;
  // How the transfer stood when a canceller took the record over: success
  // when it had finished, STATUS_PENDING with bytes still to move, else the
  // failure.
  NTSTATUS LastStatus;
};

// ---- Service interface entries (DeviceContext first) ------------------------------
NTSTATUS InterruptWait(PVOID deviceContext, ULONG pipeIndex, PVOID buffer, ULONG length,
                       ServiceCompletion completion, PVOID completionContext, UCHAR resubmit);
NTSTATUS BulkTransfer(PVOID deviceContext, ULONG pipeIndex, PVOID buffer, ULONG length,
                      ServiceCompletion completion, PVOID completionContext);
NTSTATUS BulkCancel(PVOID deviceContext, ULONG pipeIndex);

// ---- Transfers ---------------------------------------------------------------------
// Starts a transfer on the pipe; fills the channel's Current read when a
// channel is given. STATUS_INVALID_PARAMETER when another transfer holds the
// pipe, STATUS_DEVICE_DATA_ERROR (nothing sent) in device state 0.
NTSTATUS StartBulkTransfer(ClassDevice* device, Channel* channel, PVOID buffer, ULONG length,
                           LONG pipeIndex, ServiceCompletion completion, PVOID completionContext,
                           UCHAR resubmit, UCHAR signalEvent);
// Completion routine of every chunk; the I/O request stays with the class layer.
NTSTATUS BulkTransferComplete(DEVICE_OBJECT* deviceObject, IRP* irp, PVOID record);
// Passive level. Cancels the pipe's transfer and waits for it to come back;
// with pause it is kept in SavedTransfer for restart.
NTSTATUS CancelBulkTransfer(ClassDevice* device, LONG pipeIndex, BOOLEAN pause);
NTSTATUS PauseBulkTransfers(ClassDevice* device);
void ResumeBulkTransfers(ClassDevice* device);
NTSTATUS RestartBulkTransfer(ClassDevice* device, LONG pipeIndex, BulkTransferRecord* transfer);

// Frees the record and its parts.
void FreeBulkTransfer(BulkTransferRecord* transfer);
// True when a transfer is in flight on the pipe.
bool BulkTransferPending(ClassDevice* device, LONG pipeIndex);

// Device removal or uninitialisation, passive level: every transfer is
// cancelled (its owner hears STATUS_CANCELLED) and paused ones are dropped.
void ReleaseBulkTransfers(ClassDevice* device);

// ---- Stream 1 writes -------------------------------------------------------------
// SRB_WRITE_DATA at the channel's data entry; completes the request.
void ReceiveWriteRequest(HW_STREAM_REQUEST_BLOCK* srb);
// The port's cancel entry for a write, at dispatch level: the transfer that
// carries it is cancelled and completes it.
void CancelWriteRequest(HW_STREAM_REQUEST_BLOCK* srb);

// ---- Reads of a stream served by a bulk pipe ---------------------------------------
// When the channel streams, its data pipe is free and a read is queued: the
// read becomes Current and one transfer fills it. Any level up to dispatch.
NTSTATUS StartBulkRead(ClassDevice* device, Channel* channel);
// The head of the read queue becomes Current, told to the device layer as a
// new frame; *length is what the transfer may fill. Null when a read is
// already Current or none waits.
FrameRequest* TakeBulkRead(ClassDevice* device, Channel* channel, ULONG* length);
// The transfer that fills a read ended: hands the read to the frame
// completion work (success) or completes it with the status.
void FinishBulkRead(BulkTransferRecord* transfer, NTSTATUS status);
// Under the channel's CurrentLock, for its Current read: cancels the
// transfer filling it. True when that transfer will complete the read.
bool CancelBulkRead(Channel* channel, FrameRequest* request);
// A read whose transfer could not start goes back to the head of the queue.
void ReturnBulkRead(Channel* channel, FrameRequest* request);

// ---- Inside the bulk services ---------------------------------------------------------
struct TransferArgs {
  ::Channel* Channel;
  FrameRequest* Request;  // with a channel: the read that must still be Current
  PVOID Buffer;
  ULONG Length;
  LONG PipeIndex;
  ServiceCompletion Completion;
  PVOID CompletionContext;
  UCHAR Resubmit;
  UCHAR SignalEvent;
};
// *sent: the transfer reached the bus driver, whose completion now owns it.
NTSTATUS StartTransfer(ClassDevice* device, const TransferArgs& args, bool* sent);
// A transfer that could not be sent where its caller was already told it
// would be: a read goes back to its queue, any other owner hears the status
// through its completion.
void AbandonTransfer(ClassDevice* device, const TransferArgs& args, NTSTATUS status);
// The pipe exists in the pipe table and in the current interface.
bool IsPipeOfInterface(const ClassDevice* device, LONG pipeIndex);
// Records the transfer in its pipe's slot. STATUS_INVALID_PARAMETER when
// another one holds it or waits paused there; for a read, STATUS_CANCELLED
// when it is no longer the channel's Current or the channel stops.
NTSTATUS ClaimPipe(ClassDevice* device, BulkTransferRecord* transfer);
// Under PipeTableLock: when a canceller waits, the record goes to it with the
// outcome (true); otherwise, with release, the pipe's slot is freed.
bool SettleTransfer(BulkTransferRecord* transfer, NTSTATUS outcome, bool release);
// Under PipeTableLock: the read or write the transfer serves was given up.
// Checked after the next chunk's request is built, so that a cancel either
// is seen here or marks that request.
bool OwnerCancelled(BulkTransferRecord* transfer);
// Completion with the status, and on success the snapshot event when asked for.
void NotifyOwner(BulkTransferRecord* transfer, NTSTATUS status);
// The transfer is over: tells its owner (the read, or Completion), signals
// the snapshot event, resubmits, and frees it.
void EndTransfer(BulkTransferRecord* transfer, NTSTATUS status);
