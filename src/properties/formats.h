// The streams the driver offers and their video formats: one stream record
// and one format list per stream, the data-range intersection that answers a
// client's range with a format, and the check of a format a client asks for.
#pragma once

#include "platform/streamclass.h"

constexpr ULONG kCaptureStream = 0;
constexpr ULONG kStillStream = 1;
constexpr ULONG kFormatStreamCount = 2;

constexpr ULONG kFourccI420 = 0x30323449;  // "I420"
constexpr ULONG kFourccIyuv = 0x56555949;  // "IYUV"
constexpr ULONG kCompressionRgb24 = 0;     // biCompression of packed RGB24

constexpr LONGLONG kCaptureFrameInterval = 333'333;   // 30 frames per second
constexpr LONGLONG kStillFrameInterval = 10'000'000;  // one frame per second

// One format descriptor from its four values; the sample size is 12 bits per
// pixel except for RGB24 (compression 0), which has 24.
KS_DATARANGE_VIDEO MakeVideoRange(ULONG compression, LONG width, LONG height,
                                  LONGLONG frameInterval, ULONG streamDescriptionFlags);

// The stream's record as the device layer describes it (formats, names,
// property sets); null for a stream number without one.
const HW_STREAM_INFORMATION* StreamTemplate(ULONG streamNumber);
// The stream's format list in list order; count 0 for an unknown stream.
const KS_DATARANGE_VIDEO* const* StreamFormats(ULONG streamNumber, ULONG* count);

// Answers SRB_GET_DATA_INTERSECTION: sets the request's status (and, where a
// size is reported, ActualBytesTransferred) and returns that status.
NTSTATUS IntersectDataRange(HW_STREAM_REQUEST_BLOCK* srb);

// True when the format matches an entry of the stream's list on type,
// subtype, specifier, width, height and image size.
bool VerifyDataFormat(const KSDATAFORMAT* format, ULONG streamNumber);
