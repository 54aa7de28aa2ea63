// Streams: a channel is opened at a format (bandwidth taken, capture started,
// transfer sets and watchdog prepared), moved through stop, acquire, pause and
// run by serialised stream control requests, and closed.
#pragma once

#include "classlayer/channel.h"
#include "classlayer/device.h"

// SRB_OPEN_STREAM and SRB_CLOSE_STREAM from the device request dispatcher;
// the result is the request's status (the dispatcher completes it).
NTSTATUS OpenStream(HW_STREAM_REQUEST_BLOCK* srb);
NTSTATUS CloseStream(HW_STREAM_REQUEST_BLOCK* srb);

// The stream object's control entry; completes every request it is given.
void ReceiveControlRequest(HW_STREAM_REQUEST_BLOCK* srb);

// Under ChannelLock. Start: reset the pipes and submit the transfers; stop:
// abort the pipes and wait (8 s at most) for the watchdog to see them idle.
NTSTATUS StartStreaming(ClassDevice* device, Channel* channel);
NTSTATUS StopStreaming(ClassDevice* device, Channel* channel);
