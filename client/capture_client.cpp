#include "client/capture_client.h"

namespace veltocam::client {

struct CaptureStream::ReadSlot {
  struct {
    KSSTREAM_HEADER header;
    KS_FRAME_INFO info;
  } header{};
  std::vector<std::uint8_t> buffer;
  bool followsFormat = false;              // sized by the stream's format, not by the caller
  HW_STREAM_REQUEST_BLOCK* srb = nullptr;  // while at the driver
  NTSTATUS status = STATUS_PENDING;
  std::vector<std::uint8_t> extension;  // the request's extension at completion
  bool atDriver = false;
  std::uint64_t submitted = 0;  // order of submission
};

namespace {

std::string StreamName(const GUID* name) {
  if (name == nullptr) return "unnamed";
  if (*name == PINNAME_VIDEO_CAPTURE) return "capture";
  if (*name == PINNAME_VIDEO_STILL) return "still";
  return "other";
}

FormatInfo DescribeFormat(ULONG index, const KSDATAFORMAT* entry) {
  FormatInfo info;
  info.index = index;
  if (entry->FormatSize >= sizeof(KS_DATARANGE_VIDEO)) {
    info.range = *reinterpret_cast<const KS_DATARANGE_VIDEO*>(entry);
  } else {
    RtlCopyMemory(&info.range, entry, entry->FormatSize);
  }
  const KS_BITMAPINFOHEADER& bitmap = info.range.VideoInfoHeader.bmiHeader;
  info.subFormat = entry->SubFormat;
  info.compression = bitmap.biCompression;
  info.width = bitmap.biWidth;
  info.height = bitmap.biHeight;
  info.frameInterval = info.range.VideoInfoHeader.AvgTimePerFrame;
  info.sampleSize = entry->SampleSize;
  return info;
}

ULONG ImageSizeOf(const std::vector<std::uint8_t>& format) {
  if (format.size() < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) return 0;
  return reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data())
      ->VideoInfoHeader.bmiHeader.biSizeImage;
}

host::RequestSetup WithFormat(const std::vector<std::uint8_t>& format) {
  return [&format](HW_STREAM_REQUEST_BLOCK* srb) {
    srb->CommandData.OpenFormat =
        reinterpret_cast<KSDATAFORMAT*>(const_cast<std::uint8_t*>(format.data()));
  };
}

}  // namespace

std::string FormatInfo::FourccText() const {
  if (compression == 0) return "RGB24";
  std::string text;
  for (int i = 0; i < 4; ++i) text += static_cast<char>((compression >> (8 * i)) & 0xFF);
  return text;
}

NTSTATUS CaptureClient::FindDevice() {
  std::vector<host::PortDevice*> devices = port_.Devices();
  if (devices.empty()) return STATUS_NO_SUCH_DEVICE;
  device_ = devices.front();
  return STATUS_SUCCESS;
}

std::vector<StreamInfo> CaptureClient::Streams() const {
  std::vector<StreamInfo> streams;
  const HW_STREAM_DESCRIPTOR* descriptor = port_.StreamInformation(device_);
  if (descriptor == nullptr) return streams;
  const HW_STREAM_INFORMATION* records = descriptor->StreamInfo;
  for (ULONG n = 0; n < descriptor->StreamHeader.NumberOfStreams; ++n) {
    const HW_STREAM_INFORMATION& record = records[n];
    StreamInfo info;
    info.number = n;
    info.name = StreamName(record.Name);
    for (ULONG i = 0; i < record.NumberOfFormatArrayEntries; ++i) {
      info.formats.push_back(DescribeFormat(i, record.StreamFormatsArray[i]));
    }
    streams.push_back(std::move(info));
  }
  return streams;
}

NTSTATUS CaptureClient::Intersect(ULONG stream, const KSDATARANGE& range,
                                  std::vector<std::uint8_t>* format) {
  STREAM_DATA_INTERSECT_INFO question{stream, const_cast<KSDATARANGE*>(&range), nullptr, 0};
  ULONG size = 0;
  auto ask = [&](HW_STREAM_REQUEST_BLOCK* srb) { srb->CommandData.IntersectInfo = &question; };
  auto answer = [&](HW_STREAM_REQUEST_BLOCK* srb) { size = srb->ActualBytesTransferred; };
  NTSTATUS status = port_.DeviceRequest(device_, SRB_GET_DATA_INTERSECTION, ask, answer);
  if (status != STATUS_BUFFER_OVERFLOW) return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
  format->assign(size, 0);
  question.DataFormatBuffer = format->data();
  question.SizeOfDataFormatBuffer = size;
  status = port_.DeviceRequest(device_, SRB_GET_DATA_INTERSECTION, ask, answer);
  if (NT_SUCCESS(status)) format->resize(size);
  return status;
}

NTSTATUS CaptureClient::Open(ULONG stream, const std::vector<std::uint8_t>& format,
                             std::unique_ptr<CaptureStream>* result) {
  host::PortStream* opened = nullptr;
  const NTSTATUS status = port_.OpenStream(
      device_, stream, reinterpret_cast<const KSDATAFORMAT*>(format.data()), &opened);
  if (NT_SUCCESS(status)) {
    *result = std::make_unique<CaptureStream>(port_, opened, ImageSizeOf(format));
  }
  return status;
}

CaptureStream::CaptureStream(host::StreamClassPort& port, host::PortStream* stream, ULONG imageSize)
    : port_(port), stream_(stream), imageSize_(imageSize) {}

CaptureStream::~CaptureStream() {
  if (open_) Close();
}

NTSTATUS CaptureStream::SetState(KSSTATE state) {
  return port_.StreamControl(stream_, SRB_SET_STREAM_STATE, [state](HW_STREAM_REQUEST_BLOCK* srb) {
    srb->CommandData.StreamState = state;
  });
}

NTSTATUS CaptureStream::GetState(KSSTATE* state) {
  return port_.StreamControl(
      stream_, SRB_GET_STREAM_STATE, {},
      [state](HW_STREAM_REQUEST_BLOCK* srb) { *state = srb->CommandData.StreamState; });
}

NTSTATUS CaptureStream::UseMasterClock(HANDLE clock) {
  return port_.StreamControl(
      stream_, SRB_INDICATE_MASTER_CLOCK,
      [clock](HW_STREAM_REQUEST_BLOCK* srb) { srb->CommandData.MasterClockHandle = clock; });
}

NTSTATUS CaptureStream::ProposeFormat(const std::vector<std::uint8_t>& format) {
  return port_.StreamControl(stream_, SRB_PROPOSE_DATA_FORMAT, WithFormat(format));
}

NTSTATUS CaptureStream::SetFormat(const std::vector<std::uint8_t>& format) {
  const NTSTATUS status = port_.StreamControl(stream_, SRB_SET_DATA_FORMAT, WithFormat(format));
  if (NT_SUCCESS(status)) imageSize_ = ImageSizeOf(format);
  return status;
}

void CaptureStream::QueueReads(ULONG count, ULONG bufferSize) {
  for (ULONG i = 0; i < count; ++i) {
    auto slot = std::make_unique<ReadSlot>();
    slot->followsFormat = bufferSize == 0;
    slot->buffer.assign(bufferSize != 0 ? bufferSize : imageSize_, 0);
    slots_.push_back(std::move(slot));
    Submit(*slots_.back());
  }
}

void CaptureStream::Submit(ReadSlot& slot) {
  // A format change takes effect for every read queued after it.
  if (slot.followsFormat && slot.buffer.size() != imageSize_) slot.buffer.assign(imageSize_, 0);
  slot.header = {};
  slot.header.header.Size = sizeof slot.header;
  slot.header.header.FrameExtent = static_cast<ULONG>(slot.buffer.size());
  slot.header.header.Data = slot.buffer.data();
  slot.header.info.ExtendedHeaderSize = sizeof(KS_FRAME_INFO);
  {
    std::lock_guard lock(mutex_);
    slot.atDriver = true;
    slot.status = STATUS_PENDING;
    slot.submitted = ++submissions_;
  }
  ReadSlot* target = &slot;
  HW_STREAM_REQUEST_BLOCK* srb =
      port_.SubmitRead(stream_, &slot.header.header,
                       [this, target](HW_STREAM_REQUEST_BLOCK* done) { Completed(target, done); });
  std::lock_guard lock(mutex_);
  if (slot.atDriver) slot.srb = srb;
}

void CaptureStream::Completed(ReadSlot* slot, HW_STREAM_REQUEST_BLOCK* srb) {
  std::lock_guard lock(mutex_);
  slot->status = srb->Status;
  const auto* extension = static_cast<const std::uint8_t*>(srb->SRBExtension);
  if (extension != nullptr) {
    slot->extension.assign(extension, extension + port_.Registration().PerRequestExtensionSize);
  }
  slot->atDriver = false;
  slot->srb = nullptr;
  done_.push_back(slot);
  completed_.notify_all();
}

bool CaptureStream::NextFrame(CapturedFrame* frame, LONGLONG timeout) {
  auto ready = [&] { return !done_.empty(); };
  if (!host::WaitUntil(mutex_, completed_, ready, timeout)) return false;
  ReadSlot* slot = nullptr;
  {
    std::lock_guard lock(mutex_);
    slot = done_.front();
    done_.pop_front();
  }
  const KSSTREAM_HEADER& header = slot->header.header;
  const ULONG used = header.DataUsed <= slot->buffer.size() ? header.DataUsed : 0;
  frame->status = slot->status;
  frame->data.assign(slot->buffer.begin(), slot->buffer.begin() + used);
  frame->presentationTime = header.PresentationTime.Time;
  frame->duration = header.Duration;
  frame->optionsFlags = header.OptionsFlags;
  frame->pictureNumber = slot->header.info.PictureNumber;
  frame->dropCount = slot->header.info.DropCount;
  frame->requestExtension = slot->extension;
  if (open_ && requeue_) Submit(*slot);
  return true;
}

void CaptureStream::StopRequeueing() {
  requeue_ = false;
}

bool CaptureStream::CancelOldestRead() {
  HW_STREAM_REQUEST_BLOCK* srb = nullptr;
  {
    std::lock_guard lock(mutex_);
    std::uint64_t oldest = ~std::uint64_t{0};
    for (auto& slot : slots_) {
      if (slot->atDriver && slot->srb != nullptr && slot->submitted < oldest) {
        srb = slot->srb;
        oldest = slot->submitted;
      }
    }
  }
  return srb != nullptr && port_.CancelRead(srb);
}

std::size_t CaptureStream::ReadsAtDriver() const {
  std::lock_guard lock(mutex_);
  std::size_t count = 0;
  for (const auto& slot : slots_) count += slot->atDriver ? 1 : 0;
  return count;
}

NTSTATUS CaptureStream::Close() {
  if (!open_) return STATUS_SUCCESS;
  open_ = false;
  const NTSTATUS status = port_.CloseStream(stream_);
  std::lock_guard lock(mutex_);
  done_.clear();
  return status;
}

}  // namespace veltocam::client
