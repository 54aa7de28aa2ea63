// Streams: a channel is opened at a format (bandwidth taken, capture started,
// transfer sets and watchdog prepared), moved through stop, acquire, pause and
// run by serialised stream control requests, and closed.
#pragma once

#include "classlayer/channel.h"
#include "classlayer/device.h"

// SRB_OPEN_STREAM and SRB_CLOSE_STREAM from the device request dispatcher;
// the result is the request's status (the dispatcher completes it).
//
// At open the device layer's handlers found on the stream object (its
// DeviceStreamHandler entries, stored in the port's one-argument entry type)
// are kept in the channel, and the class layer's entries take their place.
NTSTATUS OpenStream(HW_STREAM_REQUEST_BLOCK* srb);
NTSTATUS CloseStream(HW_STREAM_REQUEST_BLOCK* srb);

// The stream object's control entry; completes every request it is given.
// A request that arrives while another of its stream is handled waits in the
// stream's ControlWaitList, linked through its per-request extension.
void ReceiveControlRequest(HW_STREAM_REQUEST_BLOCK* srb);

// Each takes ChannelLock itself. Start: reset the pipes and submit the
// transfers; stop: abort the pipes and wait (8 s at most) for the watchdog to
// see them idle.
NTSTATUS StartStreaming(ClassDevice* device, Channel* channel);
NTSTATUS StopStreaming(ClassDevice* device, Channel* channel);
// StopStreaming for a caller that holds ChannelLock.
NTSTATUS StopStreamingLocked(ClassDevice* device, Channel* channel);

// Under ChannelLock. Prepare: bandwidth for the format (the raw frame length
// goes to *rawFrameLength), capture start, transfer sets, watchdog; what
// succeeded is undone when a later step fails. Unprepare undoes it.
NTSTATUS PrepareChannel(ClassDevice* device, Channel* channel, KSDATAFORMAT* format, ULONG stream,
                        ULONG* rawFrameLength);
void UnprepareChannelLocked(ClassDevice* device, Channel* channel, ULONG stream);

// An open stream that is not running prepared again for a format of another
// picture size or compression, which the channel then keeps; the reads it
// held (sized for the old picture) are cancelled. Refused with
// STATUS_INVALID_DEVICE_STATE while the stream runs. When the new format
// cannot be prepared the old one is prepared again; should that fail too the
// stream stays unprepared (reads and run are refused) until it is closed.
NTSTATUS PrepareChannelForFormat(ClassDevice* device, Channel* channel, KSDATAFORMAT* format);

// Waits, in steps of 2 ms, until *value equals `wanted`.
void WaitForValue(const LONG volatile* value, LONG wanted);

// ChannelLock serialises open, close, start, stop, recovery and power changes.
inline void AcquireChannelLock(ClassDevice* device) {
  KeWaitForSingleObject(&device->ChannelLock, Executive, KernelMode, FALSE, nullptr);
}
inline void ReleaseChannelLock(ClassDevice* device) {
  KeReleaseSemaphore(&device->ChannelLock, IO_NO_INCREMENT, 1, FALSE);
}

// SRB_GET_STREAM_PROPERTY of the two sets every stream announces (allocator
// framing, dropped frames); sets the returned byte count, gives the status.
NTSTATUS GetStreamProperty(Channel* channel, HW_STREAM_REQUEST_BLOCK* srb);
