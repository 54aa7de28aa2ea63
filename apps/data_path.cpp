#include "apps/data_path.h"

#include <chrono>

#include "classlayer/callback_calls.h"
#include "classlayer/device_layer_services.h"
#include "classlayer/frameengine.h"
#include "classlayer/recovery.h"
#include "classlayer/usbconfig.h"
#include "classlayer/usbrequests.h"
#include "driver/driver_entry.h"
#include "platform/host/scheduler.h"
#include "platform/host/stream_port.h"

namespace veltocam::app {

struct DataPath::ReadSlot {
  HW_STREAM_REQUEST_BLOCK srb{};
  struct {
    KSSTREAM_HEADER header;
    KS_FRAME_INFO info;
  } header{};
  std::vector<std::uint8_t> buffer;
  std::vector<std::uint8_t> extension;  // the class layer's FrameRequest, then the frame mark
  bool pending = false;
};

namespace {

constexpr ULONG kVideoInfoFixedBytes = 48;  // rectangles, rates, frame time

bool Deterministic() {
  return host::CurrentSchedulerMode() == host::SchedulerMode::Deterministic;
}

}  // namespace

DataPath::DataPath(DEVICE_OBJECT* busDeviceObject) : bus_(busDeviceObject) {
  host::SetRequestCompletionHandler([this](HW_STREAM_REQUEST_BLOCK* srb) { Completed(srb); });
}

DataPath::~DataPath() {
  if (open_) CloseVideoStream();
  if (initialized_) UninitializeDevice();
  host::SetRequestCompletionHandler({});
}

DeviceContext* DataPath::Context() {
  return static_cast<DeviceContext*>(DeviceContextOf(device_));
}

NTSTATUS DataPath::InitializeDevice() {
  NTSTATUS status = port_.LoadDriver(DriverEntry);
  if (NT_SUCCESS(status)) status = port_.AddDevice(bus_, &portDevice_);
  if (!NT_SUCCESS(status)) return status;
  device_ = static_cast<ClassDevice*>(port_.DeviceExtension(portDevice_));
  initialized_ = true;
  return STATUS_SUCCESS;
}

NTSTATUS DataPath::OpenVideoStream(const StreamFormat& format, ULONG readRequests,
                                   LONGLONG frameInterval) {
  if (!initialized_ || open_) return STATUS_INVALID_DEVICE_STATE;
  streamFormat_ = format;
  format_ = {};
  format_.DataFormat.FormatSize = sizeof format_;
  format_.DataFormat.SampleSize = format.ImageSize();
  KS_VIDEOINFOHEADER& info = format_.VideoInfoHeader;
  info.rcSource =
      info.rcTarget = {0, 0, static_cast<LONG>(format.width), static_cast<LONG>(format.height)};
  info.AvgTimePerFrame = frameInterval;
  info.bmiHeader.biSize = sizeof(KS_BITMAPINFOHEADER);
  info.bmiHeader.biWidth = static_cast<LONG>(format.width);
  info.bmiHeader.biHeight = static_cast<LONG>(format.height);
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = format.compression == kRgb24 ? 24 : 12;
  info.bmiHeader.biCompression = format.compression;
  info.bmiHeader.biSizeImage = format.ImageSize();

  // The stream extension the port allocates for the stream.
  channel_ =
      static_cast<Channel*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Channel), kClassPoolTag));
  if (channel_ == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(channel_, sizeof(Channel));
  stream_ = {};
  stream_.SizeOfThisPacket = sizeof stream_;
  stream_.StreamNumber = 0;
  stream_.HwStreamExtension = channel_;
  // Not a stream the port opened: its completions go to the port's sink for
  // requests of no port device, which hands them to Completed.
  stream_.HwDeviceExtension = nullptr;
  stream_.StreamHeaderMediaSpecific = sizeof(KS_FRAME_INFO);

  Channel* c = channel_;
  c->StreamNumber = 0;
  device_->Channel[0] = c;
  c->NoRawProcessing = (device_->ControlFlags & kNoRawProcessingStream0) != 0 ? 1 : 0;
  KeWaitForSingleObject(&device_->ChannelLock, Executive, KernelMode, FALSE, nullptr);
  c->OpenFormat = &format_.DataFormat;
  c->Tag = kChannelTag;
  c->Device = device_;
  InitializeListHead(&c->ReadQueue);
  KeInitializeSpinLock(&c->QueueLock);
  KeInitializeSpinLock(&c->CurrentLock);
  KeInitializeSemaphore(&c->WorkLock, 1, 1);
  KeInitializeEvent(&c->ResetEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&c->StopEvent, NotificationEvent, FALSE);
  NTSTATUS status = CallAllocateBandwidth(device_, &c->RawFrameLength, &format_.DataFormat, 0);
  if (NT_SUCCESS(status)) status = CallStartCapture(device_, 0);
  if (NT_SUCCESS(status)) {
    c->PipeKind = kPipeKindIsochronous;
    c->DataPipe = device_->IsoDataPipeIndex;
    c->SyncPipe = device_->SyncPipeIndex;
    status = AllocateTransferSets(device_, c);
  }
  if (NT_SUCCESS(status)) {
    StartWatchdog(c);
    c->Prepared = 1;
  }
  KeReleaseSemaphore(&device_->ChannelLock, IO_NO_INCREMENT, 1, FALSE);
  if (!NT_SUCCESS(status)) {
    CallStopCapture(device_, 0);
    CallFreeBandwidth(device_, 0);
    device_->Channel[0] = nullptr;
    ExFreePool(channel_);
    channel_ = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  const ULONG infoSize = kVideoInfoFixedBytes + info.bmiHeader.biSize;
  c->VideoInfo = static_cast<KS_VIDEOINFOHEADER*>(
      ExAllocatePoolWithTag(NonPagedPool, infoSize, kClassPoolTag));
  if (c->VideoInfo != nullptr) RtlCopyMemory(c->VideoInfo, &info, infoSize);
  device_->OpenCount[0] += 1;
  c->StreamState = KSSTATE_STOP;
  open_ = true;

  clock_ = host::CreateMasterClock();
  c->MasterClock = clock_;
  // Pause from stop re-bases the frame counters; the first frame sets the start time.
  c->FramesCompleted = -1;
  c->FrameInfo.PictureNumber = c->FrameInfo.DropCount = 0;
  c->FrameInfo.dwFrameFlags = 0;
  c->TakeStartTime = 1;
  c->StreamState = KSSTATE_PAUSE;
  status = StartStreaming();
  c->StreamState = KSSTATE_RUN;

  for (ULONG i = 0; i < readRequests; ++i) {
    auto slot = std::make_unique<ReadSlot>();
    slot->buffer.assign(format.ImageSize(), 0);
    slot->extension.assign(PerRequestExtensionSize(kFrameContextSize), 0);
    slots_.push_back(std::move(slot));
    Submit(*slots_.back());
  }
  return status;
}

NTSTATUS DataPath::StartStreaming() {
  KeWaitForSingleObject(&device_->ChannelLock, Executive, KernelMode, FALSE, nullptr);
  const USBD_INTERFACE_INFORMATION* pipes = device_->InterfaceInfo;
  NTSTATUS status = ResetPipe(device_, pipes->Pipes[channel_->DataPipe].PipeHandle);
  if (NT_SUCCESS(status) && channel_->SyncPipe >= 0) {
    status = ResetPipe(device_, pipes->Pipes[channel_->SyncPipe].PipeHandle);
  }
  if (NT_SUCCESS(status)) StartIsoStreaming(device_, channel_, TRUE);
  KeReleaseSemaphore(&device_->ChannelLock, IO_NO_INCREMENT, 1, FALSE);
  return status;
}

void DataPath::StopStreaming() {
  KeWaitForSingleObject(&device_->ChannelLock, Executive, KernelMode, FALSE, nullptr);
  if (channel_->Streaming) {
    KeClearEvent(&channel_->StopEvent);
    channel_->StateFlags |= kChannelStopping;
    const USBD_INTERFACE_INFORMATION* pipes = device_->InterfaceInfo;
    AbortPipe(device_, pipes->Pipes[channel_->DataPipe].PipeHandle);
    if (channel_->SyncPipe >= 0) AbortPipe(device_, pipes->Pipes[channel_->SyncPipe].PipeHandle);
    // The watchdog signals once the transfers are back and the reads are cancelled.
    LARGE_INTEGER timeout;
    timeout.QuadPart = kIdleWaitTimeout;
    KeWaitForSingleObject(&channel_->StopEvent, Executive, KernelMode, FALSE, &timeout);
    channel_->ErrorFlag = 0;
    channel_->Streaming = 0;
  }
  KeReleaseSemaphore(&device_->ChannelLock, IO_NO_INCREMENT, 1, FALSE);
}

void DataPath::Submit(ReadSlot& slot) {
  slot.srb = {};
  slot.srb.SizeOfThisPacket = sizeof slot.srb;
  slot.srb.Command = SRB_READ_DATA;
  slot.srb.Status = STATUS_PENDING;
  slot.srb.StreamObject = &stream_;
  slot.srb.HwDeviceExtension = device_;
  slot.srb.SRBExtension = slot.extension.data();
  slot.srb.Flags = SRB_HW_FLAGS_STREAM_REQUEST | SRB_HW_FLAGS_DATA_TRANSFER;
  slot.srb.CommandData.DataBufferArray = &slot.header.header;
  slot.srb.NumberOfBuffers = 1;
  slot.header = {};
  slot.header.header.Size = sizeof slot.header;
  slot.header.header.FrameExtent = static_cast<ULONG>(slot.buffer.size());
  slot.header.header.Data = slot.buffer.data();
  slot.header.info.ExtendedHeaderSize = sizeof(KS_FRAME_INFO);
  {
    std::lock_guard lock(mutex_);
    slot.pending = true;
  }
  ReceiveReadRequest(&slot.srb);
}

void DataPath::Completed(HW_STREAM_REQUEST_BLOCK* srb) {
  std::lock_guard lock(mutex_);
  done_.push_back(srb);
  for (auto& slot : slots_) {
    if (&slot->srb == srb) slot->pending = false;
  }
  completed_.notify_all();
}

bool DataPath::NextFrame(DeliveredFrame* frame, LONGLONG timeout) {
  HW_STREAM_REQUEST_BLOCK* srb = nullptr;
  auto take = [&] {
    std::lock_guard lock(mutex_);
    if (done_.empty()) return false;
    srb = done_.front();
    done_.pop_front();
    return true;
  };
  if (Deterministic()) {
    const std::uint64_t deadline = host::Now() + static_cast<std::uint64_t>(timeout);
    if (!host::PumpUntil(take, &deadline)) return false;
  } else {
    std::unique_lock lock(mutex_);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::nanoseconds(timeout * 100);
    if (!completed_.wait_until(lock, deadline, [&] { return !done_.empty(); })) return false;
    srb = done_.front();
    done_.pop_front();
  }
  ReadSlot* slot = nullptr;
  for (auto& s : slots_) {
    if (&s->srb == srb) slot = s.get();
  }
  if (slot == nullptr) return false;  // a request of a stream closed meanwhile
  const KSSTREAM_HEADER& h = slot->header.header;
  frame->status = srb->Status;
  frame->data.assign(slot->buffer.begin(), slot->buffer.begin() + h.DataUsed);
  frame->presentationTime = h.PresentationTime.Time;
  frame->duration = h.Duration;
  frame->optionsFlags = h.OptionsFlags;
  frame->pictureNumber = slot->header.info.PictureNumber;
  frame->dropCount = slot->header.info.DropCount;
  const auto* request = reinterpret_cast<FrameRequest*>(slot->extension.data());
  frame->damaged =
      static_cast<const FrameMark*>(FrameContextOf(const_cast<FrameRequest*>(request)))->Damaged !=
      0;
  if (open_) Submit(*slot);
  return true;
}

void DataPath::CloseVideoStream() {
  if (!open_) return;
  Channel* c = channel_;
  StopStreaming();
  c->StreamState = KSSTATE_STOP;
  KeWaitForSingleObject(&device_->ChannelLock, Executive, KernelMode, FALSE, nullptr);
  if (c->Prepared) {
    StopWatchdog(c);
    CallStopCapture(device_, 0);
    CallFreeBandwidth(device_, 0);
    FreeTransferSets(c);
    c->Prepared = 0;
  }
  device_->OpenCount[0] -= 1;
  CancelQueuedReads(c);
  if (c->Current != nullptr) {
    CompleteCancelledRead(c, c->Current);
    c->Current = nullptr;
  }
  KeReleaseSemaphore(&device_->ChannelLock, IO_NO_INCREMENT, 1, FALSE);
  open_ = false;

  // Frames already handed to the completion work item still refer to the
  // channel: wait until every read has come back.
  auto allBack = [&] {
    std::lock_guard lock(mutex_);
    for (auto& slot : slots_) {
      if (slot->pending) return false;
    }
    return device_->ResetCount[0] == -1;
  };
  if (Deterministic()) {
    const std::uint64_t deadline = host::Now() + host::Seconds(10);
    host::PumpUntil(allBack, &deadline);
  } else {
    for (int i = 0; i < 5000 && !allBack(); ++i) {
      LARGE_INTEGER step;
      step.QuadPart = -20000;
      KeDelayExecutionThread(KernelMode, FALSE, &step);
    }
  }
  {
    std::lock_guard lock(mutex_);
    done_.clear();
  }
  slots_.clear();
  if (c->VideoInfo != nullptr) ExFreePool(c->VideoInfo);
  device_->Channel[0] = nullptr;
  host::DestroyMasterClock(clock_);
  clock_ = nullptr;
  ExFreePool(c);
  channel_ = nullptr;
}

NTSTATUS DataPath::UninitializeDevice() {
  if (!initialized_) return STATUS_SUCCESS;
  const NTSTATUS status = port_.Uninitialize(portDevice_);
  port_.RemoveDevice(portDevice_);
  portDevice_ = nullptr;
  device_ = nullptr;
  initialized_ = false;
  return status;
}

}  // namespace veltocam::app
