// Stream 1 write requests: the client's data goes out over the device's
// first bulk OUT pipe in one transfer.
#include "classlayer/bulk.h"
#include "classlayer/callback_calls.h"
#include "classlayer/frameengine.h"
#include "classlayer/usbconfig.h"

namespace {

constexpr ULONG kWritingStream = 1;

LONG FirstBulkOutPipe(const ClassDevice* device) {
  for (ULONG i = 0; device->PipeTable != nullptr && i < device->NumberOfPipes; ++i) {
    const PipeEntry& pipe = device->PipeTable[i];
    if (pipe.TransferType == USB_ENDPOINT_TYPE_BULK && !pipe.DirectionIn) {
      return static_cast<LONG>(i);
    }
  }
  return -1;
}

void WriteComplete(PVOID, PVOID context, NTSTATUS status) {
  auto* request = static_cast<FrameRequest*>(context);
  CompleteStreamRequest(request->Srb, status);
}

}  // namespace

void ReceiveWriteRequest(HW_STREAM_REQUEST_BLOCK* srb) {
  auto* channel = static_cast<Channel*>(srb->StreamObject->HwStreamExtension);
  ClassDevice* device = channel->Device;
  const LONG pipe = FirstBulkOutPipe(device);
  if (channel->StreamNumber != kWritingStream || pipe < 0) {
    CompleteStreamRequest(srb, STATUS_NOT_IMPLEMENTED);
    return;
  }
  auto* request = static_cast<FrameRequest*>(srb->SRBExtension);
  request->Tag = kFrameRequestTag;
  request->Srb = srb;
  request->Irp = srb->Irp;
  KSSTREAM_HEADER* header = StreamHeaderOf(srb);
  if (header == nullptr || header->Data == nullptr || header->DataUsed == 0) {
    CompleteStreamRequest(srb, STATUS_INVALID_PARAMETER);
    return;
  }
  request->FrameLength = header->DataUsed;
  CallNewFrame(device, FrameContextOf(request), kWritingStream, &request->FrameLength);
  const TransferArgs args{
      nullptr, nullptr, header->Data, header->DataUsed, pipe, WriteComplete, request, 0, 0};
  bool sent;
  const NTSTATUS status = StartTransfer(device, args, &sent);
  if (!sent) CompleteStreamRequest(srb, status);
}

void ReleaseBulkTransfers(ClassDevice* device) {
  for (ULONG i = 0; device->PipeTable != nullptr && i < device->NumberOfPipes; ++i) {
    CancelBulkTransfer(device, static_cast<LONG>(i), FALSE);
    auto* saved = static_cast<BulkTransferRecord*>(device->PipeTable[i].SavedTransfer);
    device->PipeTable[i].SavedTransfer = nullptr;
    if (saved != nullptr) FreeBulkTransfer(saved);
  }
}
