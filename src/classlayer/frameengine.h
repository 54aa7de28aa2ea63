// The frame assembly engine: keeps two isochronous transfers in flight on a
// channel's video pipe, walks their packets through the device layer's
// ProcessPacket, appends the payloads to the read request being filled, and
// hands each finished frame to a work item that runs ProcessRawFrame and
// completes the request.
#pragma once

#include "classlayer/channel.h"
#include "classlayer/device.h"

constexpr ULONG kClassPoolTag = PoolTag("Wdm ");
constexpr LONGLONG kResubmitDelay = -20000;  // 2 ms, relative, 100 ns units
constexpr ULONG kVideoReadTimeoutSeconds = 9;
constexpr ULONG kStillReadTimeoutSeconds = 4100;

// ---- Transfers ------------------------------------------------------------------
NTSTATUS AllocateTransferSets(ClassDevice* device, Channel* channel);
void StartIsoStreaming(ClassDevice* device, Channel* channel, BOOLEAN rebuild);
void SubmitTransferSet(ClassDevice* device, TransferSet* set);
// Completion routine of both requests of a set; the I/O request stays with
// the class layer (STATUS_MORE_PROCESSING_REQUIRED).
NTSTATUS IsoTransferComplete(DEVICE_OBJECT* deviceObject, IRP* irp, PVOID set);
void ProcessTransfer(TransferSet* set);
void ResubmitTimerDpc(KDPC* dpc, PVOID set, PVOID, PVOID);
// Disarms the 2 ms resubmission of both sets (a DPC already running still
// runs: it resubmits only while the channel streams and is not stopping).
void CancelResubmission(Channel* channel);
void FreeTransferSets(Channel* channel);

// ---- Frames and read requests -----------------------------------------------------
// Completes the read on a passive-level work item after the frames queued
// before it; a read whose transfer failed (status not success) is completed
// there too, with no data, so that it never overtakes an earlier frame.
void QueueFrameCompletion(Channel* channel, FrameRequest* request, BOOLEAN snapshot,
                          NTSTATUS status = STATUS_SUCCESS);
void FrameCompletionWork(PVOID workItem);
void CompleteReadRequest(Channel* channel, FrameRequest* request, NTSTATUS status,
                         ULONG bytesReturned);
void ReceiveReadRequest(HW_STREAM_REQUEST_BLOCK* srb);
NTSTATUS QueueReadRequest(ClassDevice* device, Channel* channel, FrameRequest* request);
void CancelReadRequest(HW_STREAM_REQUEST_BLOCK* srb);
void ReadRequestTimeout(HW_STREAM_REQUEST_BLOCK* srb);
// Completes a read request with STATUS_CANCELLED and no data, releasing its raw buffer.
void CompleteCancelledRead(Channel* channel, FrameRequest* request);
// Completes every request waiting in the channel's read queue as cancelled.
void CancelQueuedReads(Channel* channel);
// Completes every read the channel holds, queued or being filled, as cancelled.
void CancelChannelReads(Channel* channel);

// Stream time of the channel's master clock; 0 without one.
LONGLONG GetStreamTime(HW_STREAM_REQUEST_BLOCK* srb, Channel* channel);

// Completes a stream request with a status and no data.
void CompleteStreamRequest(HW_STREAM_REQUEST_BLOCK* srb, NTSTATUS status);
