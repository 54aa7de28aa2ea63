// Isochronous packets come from the camera: whatever their bytes, lengths and
// statuses, the device layer's framing and the class layer's packet walk must
// write only inside the read requests' buffers, complete every request exactly
// once, and leave nothing behind.
//
// Input: four bytes of framing settings (sync byte count, the sync bytes, the
// sequence wrap), then records [header, payload...]: header bits 0-5 are the
// packet length, bit 6 marks a failed packet, bit 7 queues a read request
// first. Every 32 packets make one transfer.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "classlayer/device_layer_services.h"
#include "classlayer/frameengine.h"
#include "pipeline/packets.h"
#include "platform/host/platform.h"
#include "platform/host/pool.h"
#include "platform/host/stream_port.h"
#include "platform/host/trace.h"
#include "support/device_extension.h"

namespace {

using veltocam::test::DeviceExtension;

constexpr USHORT kPacketSize = 64;
constexpr ULONG kRawFrameLength = 300;

struct Read {
  HW_STREAM_REQUEST_BLOCK srb{};
  struct {
    KSSTREAM_HEADER header;
    KS_FRAME_INFO info;
  } header{};
  std::vector<UCHAR> data = std::vector<UCHAR>(kRawFrameLength, 0);
  std::vector<UCHAR> extension = std::vector<UCHAR>(PerRequestExtensionSize(kFrameContextSize));
};

NTSTATUS CopyRawFrame(DEVICE_OBJECT*, PVOID, PVOID, PVOID frameBuffer, ULONG frameLength,
                      PVOID rawBuffer, ULONG rawLength, ULONG, ULONG* bytesReturned, ULONG actual,
                      ULONG) {
  ULONG n = actual < frameLength ? actual : frameLength;
  if (n > rawLength) n = rawLength;
  std::memcpy(frameBuffer, rawBuffer, n);
  *bytesReturned = n;
  return STATUS_SUCCESS;
}

struct Engine {
  DeviceExtension ext;
  DeviceCallbackTable table{};
  alignas(8) UCHAR interface[GET_USBD_INTERFACE_SIZE(1)] = {};
  Channel channel{};
  KS_VIDEOINFOHEADER videoInfo{};
  HW_STREAM_OBJECT stream{};
  TransferSet set{};
  std::vector<UCHAR> buffer = std::vector<UCHAR>((kPacketSize + 1) * kPacketsPerTransfer);
  std::vector<UCHAR> urbs = std::vector<UCHAR>(2 * kIsoRequestSize);
  std::vector<std::unique_ptr<Read>> reads;

  Engine(const std::uint8_t* settings) {
    table.ProcessPacket = ProcessPacket;
    table.NewFrame = NewFrame;
    table.ProcessRawFrame = CopyRawFrame;
    DeviceContext* ctx = ext.context();
    InstallCallbackTable(ctx, &table, kCallbackTableVersion, 0);
    auto* info = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(interface);
    info->Length = sizeof interface;
    info->NumberOfPipes = 1;
    info->Pipes[0].MaximumPacketSize = kPacketSize;
    info->Pipes[0].PipeType = UsbdPipeTypeIsochronous;
    ctx->Interface = info;
    ctx->TotalSyncByte = settings[0] % 3;
    ctx->SyncByte0 = settings[1];
    ctx->SyncByte1 = settings[2];
    ctx->NextSyncByte = settings[3];
    ctx->FrameValid = 1;
    ClassDevice* dev = ext.device();
    dev->DeviceState = kDeviceStarted;
    dev->InterfaceInfo = info;
    KeInitializeSpinLock(&dev->CompletionLock);
    SetUpChannel(dev);
    SetUpTransferSet(dev);
  }

  void SetUpChannel(ClassDevice* dev) {
    channel.Tag = kChannelTag;
    channel.Device = dev;
    channel.Streaming = channel.Prepared = 1;
    channel.StreamState = KSSTATE_RUN;
    channel.PipeKind = kPipeKindIsochronous;
    channel.SyncPipe = -1;
    channel.RawFrameLength = kRawFrameLength;
    channel.FramesCompleted = -1;
    InitializeListHead(&channel.ReadQueue);
    KeInitializeSpinLock(&channel.QueueLock);
    KeInitializeSpinLock(&channel.CurrentLock);
    KeInitializeSemaphore(&channel.WorkLock, 1, 1);
    InitializeListHead(&channel.FinishedFrames);
    videoInfo.AvgTimePerFrame = 333333;
    videoInfo.bmiHeader.biSizeImage = kRawFrameLength;
    channel.VideoInfo = &videoInfo;
    stream.HwStreamExtension = &channel;
    dev->Channel[0] = &channel;
  }

  void SetUpTransferSet(ClassDevice* dev) {
    set.Tag = kTransferSetTag;
    set.Device = dev;
    set.Channel = &channel;
    set.BufferSize = static_cast<ULONG>(buffer.size());
    set.SyncBuffer = buffer.data();
    set.DataBuffer = buffer.data() + kPacketsPerTransfer;
    set.SyncUrb = reinterpret_cast<URB*>(urbs.data());
    set.DataUrb = reinterpret_cast<URB*>(urbs.data() + kIsoRequestSize);
    set.SyncIrp = kNoSyncIrp;
    KeInitializeTimer(&set.ResubmitTimer);
    KeInitializeDpc(
        &set.ResubmitDpc, [](KDPC*, PVOID, PVOID, PVOID) {}, nullptr);
  }

  void Queue() {
    auto read = std::make_unique<Read>();
    read->srb.SizeOfThisPacket = sizeof read->srb;
    read->srb.Command = SRB_READ_DATA;
    read->srb.StreamObject = &stream;
    read->srb.SRBExtension = read->extension.data();
    read->srb.Flags = SRB_HW_FLAGS_STREAM_REQUEST | SRB_HW_FLAGS_DATA_TRANSFER;
    read->srb.CommandData.DataBufferArray = &read->header.header;
    read->srb.NumberOfBuffers = 1;
    read->header.header.Size = sizeof read->header;
    read->header.header.FrameExtent = kRawFrameLength;
    read->header.header.Data = read->data.data();
    read->header.info.ExtendedHeaderSize = sizeof(KS_FRAME_INFO);
    reads.push_back(std::move(read));
    ReceiveReadRequest(&reads.back()->srb);
  }

  void Walk() {
    ProcessTransfer(&set);
    KeCancelTimer(&set.ResubmitTimer);
    veltocam::host::RunUntilIdle();
  }

  // Ends the stream as a close does; every request must have come back once.
  void Finish() {
    if (channel.Current != nullptr) CompleteCancelledRead(&channel, channel.Current);
    channel.Current = nullptr;
    CancelQueuedReads(&channel);
    std::map<HW_STREAM_REQUEST_BLOCK*, int> completions;
    for (HW_STREAM_REQUEST_BLOCK* srb : veltocam::host::TakeCompletedRequests()) {
      ++completions[srb];
    }
    for (const auto& read : reads) {
      if (completions[&read->srb] != 1) std::abort();
      if (read->header.header.DataUsed > read->header.header.FrameExtent) std::abort();
    }
    ext.device()->InterfaceInfo = nullptr;
    ext.context()->Interface = nullptr;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  veltocam::host::ResetPlatform();
  veltocam::host::SetTraceSink([](std::string_view) {});  // traces cost, tell nothing here
  {
    Engine engine(data);
    _URB_ISOCH_TRANSFER& iso = engine.set.DataUrb->UrbIsochronousTransfer;
    ULONG packet = 0;
    for (std::size_t at = 4; at < size;) {
      const std::uint8_t header = data[at++];
      const ULONG length = header & 0x3F;
      if (header & 0x80) engine.Queue();
      USBD_ISO_PACKET_DESCRIPTOR& d = iso.IsoPacket[packet];
      d.Offset = packet * kPacketSize;
      d.Length = length;
      d.Status = (header & 0x40) != 0 ? USBD_STATUS_ISO_NOT_ACCESSED_BY_HW : USBD_STATUS_SUCCESS;
      const std::size_t available = size - at < length ? size - at : length;
      std::memset(engine.set.DataBuffer + d.Offset, 0, kPacketSize);
      std::memcpy(engine.set.DataBuffer + d.Offset, data + at, available);
      at += available;
      iso.NumberOfPackets = ++packet;
      if (packet == kPacketsPerTransfer || at >= size) {
        engine.Walk();
        packet = 0;
      }
    }
    engine.Finish();
  }
  if (!veltocam::host::DescribeLeftovers().empty()) std::abort();
  return 0;
}
