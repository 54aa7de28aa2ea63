// The packet walk: every packet of a completed transfer goes through the
// device layer's ProcessPacket, in order, under the channel's request lock;
// payloads are appended to the request being filled and finished frames are
// handed to the completion work item.
#include "classlayer/callback_calls.h"
#include "classlayer/frameengine.h"

namespace {

// The request being filled: the still stream's if it has one, else the video stream's.
FrameRequest* ActiveRequest(Channel* video, Channel* still) {
  if (still != nullptr && still->Current != nullptr) return still->Current;
  return video != nullptr ? video->Current : nullptr;
}

// Copies up to `count` payload bytes that start `start` bytes into the data
// buffer, never reading past the transfer's buffer whatever the device layer
// returned; the number copied.
ULONG CopyPayload(const TransferSet* set, ULONG start, ULONG count, UCHAR* destination) {
  const ULONG dataSize = set->BufferSize - kPacketsPerTransfer;
  if (start >= dataSize) return 0;
  if (count > dataSize - start) count = dataSize - start;
  RtlCopyMemory(destination, set->DataBuffer + start, count);
  return count;
}

void FinishFrame(ClassDevice* device, Channel* channel, Channel* video, Channel* still) {
  FrameRequest* finished = nullptr;
  if (still != nullptr && still->Current != nullptr) {
    finished = still->Current;
  } else if (video != nullptr && video->Current != nullptr) {
    finished = video->Current;
    channel->FramesCompleted += 1;
  }
  if (finished == nullptr) return;

  const ULONG stream = StreamNumberOf(finished);
  Channel* owner = device->Channel[stream];
  owner->Current = nullptr;
  if (finished->Drop) {
    finished->Drop = 0;
    if (stream == 0) channel->FramesCompleted -= 1;
    ExInterlockedInsertHeadList(&owner->ReadQueue, &finished->Link, &owner->QueueLock);
  } else if (channel->SnapshotPending) {
    QueueFrameCompletion(channel, finished, TRUE);
    channel->SnapshotPending = 0;
  } else {
    QueueFrameCompletion(owner, finished, FALSE);
  }
}

// Pairs the frame that starts with this packet with the next queued request.
void StartFrame(ClassDevice* device, TransferSet* set, Channel* video, Channel* still,
                const USBD_ISO_PACKET_DESCRIPTOR& packet, ULONG n) {
  Channel* source = (set->PacketFlags & kPacketStillFrame) != 0 && still != nullptr ? still : video;
  if (source == nullptr) return;
  LIST_ENTRY* entry = ExInterlockedRemoveHeadList(&source->ReadQueue, &source->QueueLock);
  if (entry == nullptr) return;  // no request: this frame is lost (a drop, later)

  FrameRequest* request = CONTAINING_RECORD(entry, FrameRequest, Link);
  device->Channel[StreamNumberOf(request)]->Current = request;
  request->Drop = 0;
  request->BytesWritten = 0;
  request->NumberOfPackets = 0;
  request->ActualRawFrameLength = 0;
  request->FrameLength = request->RawBufferLength;
  CallNewFrame(device, FrameContextOf(request), StreamNumberOf(request), &request->FrameLength);
  if (n == 0) return;
  request->NumberOfPackets = 1;
  request->ActualRawFrameLength = n - 1;
  if (n - 1 <= request->RawBufferLength) {
    request->BytesWritten =
        CopyPayload(set, packet.Offset + set->ValidDataOffset + 1, n - 1, request->RawBuffer);
  }
}

void ContinueFrame(TransferSet* set, FrameRequest* request,
                   const USBD_ISO_PACKET_DESCRIPTOR& packet, ULONG n) {
  if (n == 0 || request == nullptr) return;
  if (static_cast<ULONGLONG>(request->BytesWritten) + n > request->RawBufferLength) return;
  request->NumberOfPackets += 1;
  request->ActualRawFrameLength += n - 1;
  request->BytesWritten += CopyPayload(set, packet.Offset + set->ValidDataOffset + 1, n - 1,
                                       request->RawBuffer + request->BytesWritten);
}

}  // namespace

void ProcessTransfer(TransferSet* set) {
  ClassDevice* device = set->Device;
  Channel* channel = set->Channel;
  _URB_ISOCH_TRANSFER& data = set->DataUrb->UrbIsochronousTransfer;
  _URB_ISOCH_TRANSFER* sync =
      channel->SyncPipe >= 0 ? &set->SyncUrb->UrbIsochronousTransfer : nullptr;

  // The walk sets and clears the Current of both streams: each is guarded by
  // its own channel's lock, as cancel and the watchdog guard it. The walking
  // channel's lock is taken first; a stream closes only with it held, so the
  // other channel read under it stays valid for the whole walk.
  KIRQL oldIrql;
  KeAcquireSpinLock(&channel->CurrentLock, &oldIrql);
  Channel* video = device->Channel[0];
  Channel* still = device->Channel[1];
  Channel* other = channel == video ? still : video;
  if (other != nullptr && other != channel) KeAcquireSpinLockAtDpcLevel(&other->CurrentLock);
  const ULONG packets =
      data.NumberOfPackets < kPacketsPerTransfer ? data.NumberOfPackets : kPacketsPerTransfer;
  const PacketCallback processPacket = ResolveProcessPacket(device);
  for (ULONG i = 0; i < packets; ++i) {
    set->FrameComplete = 0;
    set->ValidDataOffset = 0;
    set->PacketFlags = 0;
    FrameRequest* active = ActiveRequest(video, still);
    USBD_ISO_PACKET_DESCRIPTOR& packet = data.IsoPacket[i];
    const ULONG n =
        processPacket.Call(active != nullptr ? FrameContextOf(active) : nullptr,
                           sync != nullptr ? &sync->IsoPacket[i] : nullptr, set->SyncBuffer + i,
                           &packet, set->DataBuffer + packet.Offset, &set->FrameComplete,
                           &set->PacketFlags, &set->ValidDataOffset);

    if ((set->PacketFlags & kPacketSnapshot) != 0) channel->SnapshotPending = 1;
    if ((set->PacketFlags & kPacketDropFrame) != 0 && active != nullptr) active->Drop = 1;

    if (set->FrameComplete) {
      FinishFrame(device, channel, video, still);
      StartFrame(device, set, video, still, packet, n);
    } else {
      ContinueFrame(set, active, packet, n);
    }
  }
  if (other != nullptr && other != channel) KeReleaseSpinLockFromDpcLevel(&other->CurrentLock);
  KeReleaseSpinLock(&channel->CurrentLock, oldIrql);

  // The timer was initialised with the set; setting it again only re-arms it.
  LARGE_INTEGER due;
  due.QuadPart = kResubmitDelay;
  KeSetTimer(&set->ResubmitTimer, due, &set->ResubmitDpc);
}
