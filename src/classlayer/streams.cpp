// Placeholder until streams are built: every entry refuses.
#include "classlayer/streams.h"

#include "classlayer/frameengine.h"

NTSTATUS OpenStream(HW_STREAM_REQUEST_BLOCK*) {
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS CloseStream(HW_STREAM_REQUEST_BLOCK*) {
  return STATUS_NOT_IMPLEMENTED;
}

void ReceiveControlRequest(HW_STREAM_REQUEST_BLOCK* srb) {
  CompleteStreamRequest(srb, STATUS_NOT_IMPLEMENTED);
}

NTSTATUS StartStreaming(ClassDevice*, Channel*) {
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS StopStreaming(ClassDevice*, Channel*) {
  return STATUS_NOT_IMPLEMENTED;
}
