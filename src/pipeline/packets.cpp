#include "pipeline/packets.h"

#include "control/devicecontext.h"
#include "control/tracing.h"

namespace {

constexpr UCHAR kNoDataMarker = 0xFF;

bool IsFrameStart(const DeviceContext* context, const UCHAR* data, ULONG length) {
  switch (context->TotalSyncByte) {
    case 1:
      return data[0] == context->SyncByte0;
    case 2:
      // A one-byte packet cannot carry a two-byte marker.
      return length >= 2 && data[1] == context->SyncByte1 && data[0] == context->SyncByte0;
    default:
      return false;
  }
}

ULONG MaxPacketSize(const DeviceContext* context) {
  const USBD_INTERFACE_INFORMATION* info = context->Interface;
  return info != nullptr && info->NumberOfPipes > 0 ? info->Pipes[0].MaximumPacketSize : 0;
}

}  // namespace

ULONG ProcessPacket(DEVICE_OBJECT*, PVOID deviceContext, PVOID currentFrameContext,
                    USBD_ISO_PACKET_DESCRIPTOR*, UCHAR*, USBD_ISO_PACKET_DESCRIPTOR* dataPacket,
                    UCHAR* dataBuffer, UCHAR* frameComplete, ULONG*, ULONG*) {
  auto* context = static_cast<DeviceContext*>(deviceContext);
  const ULONG length = dataPacket->Length;
  const bool startsFrame = length != 0 && IsFrameStart(context, dataBuffer, length);
  if (startsFrame) {
    // The frame being filled ends here: it keeps its own damage mark, and the
    // frame that starts begins intact (this packet's own status aside).
    if (currentFrameContext != nullptr) {
      static_cast<FrameMark*>(currentFrameContext)->Damaged = IsFrameValid(context) ? 0 : 1;
    }
    MarkFrameValid(context);
  }

  if (USBD_ERROR(dataPacket->Status)) {
    TraceLine("not suc");
    MarkFrameDamaged(context);
  }
  if (length == 0) return 0;

  if (startsFrame) {
    *frameComplete = 1;
    context->NextSequenceByte = 0;
    return MaxPacketSize(context);
  }

  const UCHAR sequence = dataBuffer[0];
  if (sequence != kNoDataMarker) {
    if (sequence == context->NextSequenceByte) {
      UCHAR next = static_cast<UCHAR>(context->NextSequenceByte + 1);
      if (next == context->NextSyncByte) next = 0;
      context->NextSequenceByte = next;
      return MaxPacketSize(context);
    }
    ++context->SequenceErrorCount;
  }
  // A lost, reordered or empty packet: the frame can no longer be trusted.
  MarkFrameDamaged(context);
  return 0;
}

ULONG ProcessPacketBasic(DEVICE_OBJECT* bus, PVOID deviceContext, PVOID currentFrameContext,
                         USBD_ISO_PACKET_DESCRIPTOR* syncPacket, UCHAR* syncBuffer,
                         USBD_ISO_PACKET_DESCRIPTOR* dataPacket, UCHAR* dataBuffer,
                         UCHAR* frameComplete, UCHAR* nextFrameIsStill) {
  *nextFrameIsStill = 0;
  ULONG packetFlags = 0;
  ULONG validDataOffset = 0;
  return ProcessPacket(bus, deviceContext, currentFrameContext, syncPacket, syncBuffer, dataPacket,
                       dataBuffer, frameComplete, &packetFlags, &validDataOffset);
}

void NewFrame(PVOID deviceContext, PVOID frameContext, ULONG, ULONG*) {
  NewFrameBasic(deviceContext, frameContext);
}

void NewFrameBasic(PVOID, PVOID frameContext) {
  if (frameContext != nullptr) static_cast<FrameMark*>(frameContext)->Damaged = 0;
}
