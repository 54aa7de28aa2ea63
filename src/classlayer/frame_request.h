// FrameRequest: the class layer's part of a read request's per-request
// extension. The device layer's frame context follows it directly.
#pragma once

#include "platform/streamclass.h"

constexpr ULONG kFrameRequestTag = 0x45425253;

struct FrameRequest {
  ULONG Tag;
  LIST_ENTRY Link;  // in the channel's read queue
  IRP* Irp;
  HW_STREAM_REQUEST_BLOCK* Srb;
  ULONG NumberOfPackets;
  UCHAR* RawBuffer;
  ULONG RawBufferLength;
  ULONG FrameLength;
  ULONG ActualRawFrameLength;
  ULONG BytesWritten;
  UCHAR Drop;
};

inline PVOID FrameContextOf(FrameRequest* request) {
  return request + 1;
}

inline ULONG PerRequestExtensionSize(ULONG frameContextSize) {
  return static_cast<ULONG>(sizeof(FrameRequest)) + frameContextSize;
}

inline KSSTREAM_HEADER* StreamHeaderOf(HW_STREAM_REQUEST_BLOCK* srb) {
  return srb->CommandData.DataBufferArray;
}

// The video frame information travels right behind the stream header.
inline KS_FRAME_INFO* FrameInfoOf(KSSTREAM_HEADER* header) {
  return reinterpret_cast<KS_FRAME_INFO*>(header + 1);
}

inline ULONG StreamNumberOf(const FrameRequest* request) {
  return request->Srb->StreamObject->StreamNumber;
}
