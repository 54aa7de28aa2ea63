// The video format a stream keeps: the channel's own copy of the format it
// was opened at (data format header, then the video info header), and its
// replacement through the service interface's entry for the device layer's
// set-data-format.
#pragma once

#include "classlayer/channel.h"
#include "classlayer/service_interface.h"

// The video info header behind a format, or null when the format is too
// short to hold it and its whole bitmap header.
const KS_VIDEOINFOHEADER* VideoInfoOf(const KSDATAFORMAT* format);
// Bytes of a video info header: its fixed part and its bitmap header.
ULONG VideoInfoBytes(const KS_VIDEOINFOHEADER* info);

// At open: the channel takes a copy of its format (OpenFormat, with VideoInfo
// pointing into it). The copy has room for any later format of the stream,
// so a change overwrites it in place and no reader ever sees it freed.
NTSTATUS KeepFormatCopy(Channel* channel, const KSDATAFORMAT* format);
// At close, once nothing reads it any more.
void ReleaseFormatCopy(Channel* channel);

// Overwrites the channel's format with `format` (it fits the copy) and sets
// the raw frame length, between two frame completions and under the read
// queue's lock, so a read is checked against one format or the other. With
// `drain`, the reads the channel holds (sized for the old format) are moved
// to `drained` for the caller to cancel.
void StoreFormat(Channel* channel, const KSDATAFORMAT* format, ULONG rawFrameLength, bool drain,
                 LIST_ENTRY* drained);

// The request's stream takes the request's new format. A change of picture
// size or compression prepares the channel again for it, and is refused while
// the stream runs (STATUS_INVALID_DEVICE_STATE). TRUE on success; on failure
// the request's status says why and the format in force stays.
BOOLEAN ChangeVideoFormat(PVOID deviceContext, HW_STREAM_REQUEST_BLOCK* srb);
