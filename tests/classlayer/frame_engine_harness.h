// A channel of the frame engine with a scripted device layer, fed with
// hand-made transfers of 32 packets.
//
// A scripted packet is [kind, count, flags, payload...]: kind 'S' starts a
// frame, anything else continues one; flags are given back as PacketFlags; the
// valid data starts at byte 2, so the class layer appends from byte 3 on, and
// the count returned is the packet's length less 2 (the payload plus the one
// byte the class layer skips) unless `count` overrides it.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "classlayer/device_layer_services.h"
#include "classlayer/frameengine.h"
#include "platform/host/pool.h"
#include "platform/host/scheduler.h"
#include "platform/host/stream_port.h"
#include "support/device_extension.h"

namespace veltocam::test {

constexpr USHORT kTestPacketSize = 64;
constexpr UCHAR kUseLength = 0xEE;  // second byte: return the packet's length

struct ScriptedDevice {
  std::vector<std::string> calls;
  int newFrames = 0;
  ULONG lastActual = 0;
};

inline ScriptedDevice* g_scripted = nullptr;

inline ULONG ScriptedPacket(DEVICE_OBJECT*, PVOID, PVOID, USBD_ISO_PACKET_DESCRIPTOR*, UCHAR*,
                            USBD_ISO_PACKET_DESCRIPTOR* packet, UCHAR* data, UCHAR* frameComplete,
                            ULONG* flags, ULONG* validDataOffset) {
  if (packet->Length < 3) return 0;
  if (data[0] == 'S') *frameComplete = 1;
  *flags = data[2];
  *validDataOffset = 2;
  return data[1] != kUseLength ? data[1] : packet->Length - 2;
}

inline std::string Start(const std::string& payload, UCHAR flags = 0) {
  return std::string{'S', static_cast<char>(kUseLength), static_cast<char>(flags)} + payload;
}
inline std::string Continue(const std::string& payload, UCHAR flags = 0) {
  return std::string{'C', static_cast<char>(kUseLength), static_cast<char>(flags)} + payload;
}
// A packet whose count is forced.
inline std::string Counted(char kind, UCHAR count, const std::string& payload = "") {
  return std::string{kind, static_cast<char>(count), 0} + payload;
}

inline void ScriptedNewFrame(PVOID, PVOID, ULONG, ULONG*) {
  ++g_scripted->newFrames;
}

// Copies the raw bytes to the client's buffer, as a device layer without
// conversion would.
inline NTSTATUS ScriptedRawFrame(DEVICE_OBJECT*, PVOID, PVOID, PVOID frameBuffer, ULONG frameLength,
                                 PVOID rawBuffer, ULONG, ULONG packets, ULONG* bytesReturned,
                                 ULONG actual, ULONG stream) {
  g_scripted->calls.push_back("raw " + std::to_string(packets) + " " + std::to_string(actual) +
                              " stream " + std::to_string(stream));
  g_scripted->lastActual = actual;
  ULONG n = actual < frameLength ? actual : frameLength;
  if (frameBuffer != nullptr && rawBuffer != nullptr) std::memcpy(frameBuffer, rawBuffer, n);
  if (bytesReturned != nullptr) *bytesReturned = n;  // none when a read is cancelled
  return STATUS_SUCCESS;
}

// A read request as the port hands it over: request block, stream header with
// the frame information behind it, client buffer, per-request extension.
struct ReadRequest {
  explicit ReadRequest(ULONG bufferSize, HW_STREAM_OBJECT* stream) : data(bufferSize, 0) {
    extension.assign(PerRequestExtensionSize(4), 0);
    std::memset(&srb, 0, sizeof srb);
    std::memset(&header, 0, sizeof header);
    srb.SizeOfThisPacket = sizeof srb;
    srb.Command = SRB_READ_DATA;
    srb.StreamObject = stream;
    srb.SRBExtension = extension.data();
    srb.Flags = SRB_HW_FLAGS_STREAM_REQUEST | SRB_HW_FLAGS_DATA_TRANSFER;
    srb.CommandData.DataBufferArray = &header.header;
    srb.NumberOfBuffers = 1;
    header.header.Size = sizeof header;
    header.header.FrameExtent = bufferSize;
    header.header.Data = data.data();
    header.info.ExtendedHeaderSize = sizeof(KS_FRAME_INFO);
  }
  HW_STREAM_REQUEST_BLOCK srb;
  struct {
    KSSTREAM_HEADER header;
    KS_FRAME_INFO info;
  } header;
  std::vector<UCHAR> data;
  std::vector<UCHAR> extension;
  KS_FRAME_INFO& info() { return header.info; }
  std::string Text() const {
    return std::string(data.begin(), data.begin() + header.header.DataUsed);
  }
};

class FrameEngineTest : public testing::Test {
 protected:
  void SetUp() override {
    g_scripted = &scripted_;
    table_.ProcessPacket = ScriptedPacket;
    table_.NewFrame = ScriptedNewFrame;
    table_.ProcessRawFrame = ScriptedRawFrame;
    InstallCallbackTable(ext_.context(), &table_, kCallbackTableVersion, 0);

    ClassDevice* dev = ext_.device();
    dev->DeviceState = kDeviceStarted;
    dev->ResetCount[0] = dev->ResetCount[1] = -1;
    KeInitializeSpinLock(&dev->CompletionLock);
    KeInitializeSemaphore(&dev->ChannelLock, 1, 1);
    KeInitializeSemaphore(&dev->UrbLock, 1, 1);
    interface_.Length = sizeof interface_;
    interface_.NumberOfPipes = 1;
    interface_.Pipes[0].MaximumPacketSize = kTestPacketSize;
    interface_.Pipes[0].PipeType = UsbdPipeTypeIsochronous;
    dev->InterfaceInfo = &interface_;

    channel_ =
        static_cast<Channel*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Channel), kClassPoolTag));
    RtlZeroMemory(channel_, sizeof(Channel));
    channel_->Tag = kChannelTag;
    channel_->Device = dev;
    channel_->Streaming = 1;
    channel_->Prepared = 1;
    channel_->StreamState = KSSTATE_RUN;
    channel_->PipeKind = kPipeKindIsochronous;
    channel_->SyncPipe = -1;
    channel_->DataPipe = 0;
    channel_->RawFrameLength = 256;
    channel_->FramesCompleted = -1;
    channel_->TakeStartTime = 1;
    InitializeListHead(&channel_->ReadQueue);
    KeInitializeSpinLock(&channel_->QueueLock);
    KeInitializeSpinLock(&channel_->CurrentLock);
    KeInitializeSemaphore(&channel_->WorkLock, 1, 1);
    InitializeListHead(&channel_->FinishedFrames);
    KeInitializeEvent(&channel_->ResetEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&channel_->StopEvent, NotificationEvent, FALSE);
    videoInfo_.AvgTimePerFrame = 333333;
    videoInfo_.bmiHeader.biSize = sizeof(KS_BITMAPINFOHEADER);
    videoInfo_.bmiHeader.biSizeImage = 64;
    channel_->VideoInfo = &videoInfo_;
    stream_.StreamNumber = 0;
    stream_.HwStreamExtension = channel_;
    dev->Channel[0] = channel_;

    // A transfer set of our own, walked directly.
    set_.Tag = kTransferSetTag;
    set_.Device = dev;
    set_.Channel = channel_;
    set_.BufferSize = (kTestPacketSize + 1) * kPacketsPerTransfer;
    buffer_.assign(set_.BufferSize, 0);
    set_.SyncBuffer = buffer_.data();
    set_.DataBuffer = buffer_.data() + kPacketsPerTransfer;
    urbBlock_.assign(2 * kIsoRequestSize, 0);
    set_.SyncUrb = reinterpret_cast<URB*>(urbBlock_.data());
    set_.DataUrb = reinterpret_cast<URB*>(urbBlock_.data() + kIsoRequestSize);
    set_.SyncIrp = kNoSyncIrp;
    KeInitializeTimer(&set_.ResubmitTimer);
    KeInitializeDpc(
        &set_.ResubmitDpc, [](KDPC*, PVOID, PVOID, PVOID) {}, nullptr);
  }

  void TearDown() override {
    KeCancelTimer(&set_.ResubmitTimer);
    host::RunUntilIdle();
    // Requests still queued or being filled own raw buffers.
    if (channel_->Current != nullptr) {
      CompleteCancelledRead(channel_, channel_->Current);
      channel_->Current = nullptr;
    }
    CancelQueuedReads(channel_);
    host::TakeCompletedRequests();
    if (channel_->MasterClock != nullptr) host::DestroyMasterClock(channel_->MasterClock);
    ext_.device()->InterfaceInfo = nullptr;
    ExFreePool(channel_);
    requests_.clear();
    g_scripted = nullptr;
  }

  // The request stays alive until the test ends, whether or not it is kept.
  ReadRequest* Queue(ULONG bufferSize = 256) {
    requests_.push_back(std::make_unique<ReadRequest>(bufferSize, &stream_));
    ReceiveReadRequest(&requests_.back()->srb);
    return requests_.back().get();
  }

  // Walks one transfer made of these packets (each at most the packet size),
  // then runs the completion work.
  void Walk(const std::vector<std::string>& packets) {
    _URB_ISOCH_TRANSFER& iso = set_.DataUrb->UrbIsochronousTransfer;
    iso.NumberOfPackets = static_cast<ULONG>(packets.size());
    for (ULONG i = 0; i < packets.size(); ++i) {
      iso.IsoPacket[i].Offset = i * kTestPacketSize;
      iso.IsoPacket[i].Length = static_cast<ULONG>(packets[i].size());
      iso.IsoPacket[i].Status = USBD_STATUS_SUCCESS;
      std::memcpy(set_.DataBuffer + i * kTestPacketSize, packets[i].data(), packets[i].size());
    }
    ProcessTransfer(&set_);
    KeCancelTimer(&set_.ResubmitTimer);
    host::RunUntilIdle();
  }

  std::vector<HW_STREAM_REQUEST_BLOCK*> Completed() { return host::TakeCompletedRequests(); }

  ScriptedDevice scripted_;
  DeviceExtension ext_;
  DeviceCallbackTable table_{};
  USBD_INTERFACE_INFORMATION interface_{};
  Channel* channel_ = nullptr;
  KS_VIDEOINFOHEADER videoInfo_{};
  HW_STREAM_OBJECT stream_{};
  TransferSet set_{};
  std::vector<UCHAR> buffer_;
  std::vector<UCHAR> urbBlock_;
  std::vector<std::unique_ptr<ReadRequest>> requests_;
};

}  // namespace veltocam::test
