#include "apps/camera_session.h"

#include <cstdio>

#include "classlayer/frame_request.h"
#include "driver/driver_entry.h"

namespace veltocam::app {
namespace {

bool Matches(const client::FormatInfo& listed, const StreamFormat& wanted) {
  return listed.width == static_cast<LONG>(wanted.width) &&
         listed.height == static_cast<LONG>(wanted.height) &&
         listed.compression == wanted.compression;
}

std::string Describe(const client::FormatInfo& format) {
  char text[64];
  std::snprintf(text, sizeof text, "%s %ldx%ld %g fps", format.FourccText().c_str(),
                static_cast<long>(format.width), static_cast<long>(format.height),
                format.FramesPerSecond());
  return text;
}

// The device layer's mark of a frame delivered as the repeat picture: its
// frame context, behind the class layer's part of the request extension.
bool Damaged(const std::vector<std::uint8_t>& extension) {
  const std::size_t at = sizeof(FrameRequest);
  if (extension.size() < at + sizeof(FrameMark)) return false;
  return reinterpret_cast<const FrameMark*>(extension.data() + at)->Damaged != 0;
}

}  // namespace

CameraSession::CameraSession(DEVICE_OBJECT* busDeviceObject) : bus_(busDeviceObject) {}

CameraSession::~CameraSession() {
  if (stream_) Close();
  if (portDevice_ != nullptr) Remove();
}

NTSTATUS CameraSession::Start() {
  NTSTATUS status = port_.LoadDriver(DriverEntry);
  if (NT_SUCCESS(status)) status = port_.AddDevice(bus_, &portDevice_);
  if (NT_SUCCESS(status)) status = client_.FindDevice();
  if (!NT_SUCCESS(status)) return status;
  device_ = static_cast<ClassDevice*>(port_.DeviceExtension(portDevice_));
  return STATUS_SUCCESS;
}

DeviceContext* CameraSession::Context() const {
  return static_cast<DeviceContext*>(DeviceContextOf(device_));
}

Channel* CameraSession::StreamChannel(ULONG stream) const {
  return device_ != nullptr && stream < 2 ? device_->Channel[stream] : nullptr;
}

std::vector<std::string> CameraSession::Offered(ULONG stream) const {
  std::vector<std::string> offered;
  for (const client::StreamInfo& info : client_.Streams()) {
    if (info.number != stream) continue;
    for (const client::FormatInfo& format : info.formats) offered.push_back(Describe(format));
  }
  return offered;
}

NTSTATUS CameraSession::Open(ULONG stream, const StreamFormat& wanted, ULONG reads,
                             std::string* why) {
  const client::FormatInfo* chosen = nullptr;
  std::vector<client::StreamInfo> streams = client_.Streams();
  for (const client::StreamInfo& info : streams) {
    if (info.number != stream) continue;
    for (const client::FormatInfo& format : info.formats) {
      if (Matches(format, wanted)) chosen = &format;
    }
  }
  if (chosen == nullptr) {
    std::vector<std::string> offered = Offered(stream);
    *why = offered.empty() ? "the camera does not expose that stream" : "the stream offers";
    for (std::size_t i = 0; i < offered.size(); ++i) *why += (i ? ", " : " ") + offered[i];
    return STATUS_NO_MATCH;
  }
  std::vector<std::uint8_t> format;
  NTSTATUS status = client_.Intersect(stream, chosen->range.DataRange, &format);
  if (NT_SUCCESS(status)) status = client_.Open(stream, format, &stream_);
  if (!NT_SUCCESS(status)) return status;
  frameInterval_ = chosen->frameInterval;
  clock_ = host::CreateMasterClock();
  status = stream_->UseMasterClock(clock_);
  if (NT_SUCCESS(status)) status = stream_->SetState(KSSTATE_PAUSE);
  if (NT_SUCCESS(status)) status = stream_->SetState(KSSTATE_RUN);
  stream_->QueueReads(reads);
  return status;
}

bool CameraSession::NextFrame(DeliveredFrame* frame, LONGLONG timeout) {
  client::CapturedFrame captured;
  if (!stream_ || !stream_->NextFrame(&captured, timeout)) return false;
  frame->status = captured.status;
  frame->data = std::move(captured.data);
  frame->presentationTime = captured.presentationTime;
  frame->duration = captured.duration;
  frame->pictureNumber = captured.pictureNumber;
  frame->dropCount = captured.dropCount;
  frame->optionsFlags = captured.optionsFlags;
  frame->damaged = Damaged(captured.requestExtension);
  return true;
}

bool CameraSession::CancelOldestRead() {
  return stream_ && stream_->CancelOldestRead();
}

void CameraSession::StopQueueingReads() {
  if (stream_) stream_->StopRequeueing();
}

NTSTATUS CameraSession::Suspend() {
  const NTSTATUS status = port_.SetPowerState(portDevice_, PowerDeviceD3);
  const NTSTATUS wake = port_.SetPowerState(portDevice_, PowerDeviceD0);
  return NT_SUCCESS(status) ? wake : status;
}

NTSTATUS CameraSession::EnableSnapshotEvent() {
  return client_.EnableDeviceEvent(true);
}

std::size_t CameraSession::SnapshotEvents() const {
  return portDevice_ != nullptr ? port_.DeviceEventsSignalled(portDevice_) : 0;
}

bool CameraSession::WaitForSnapshotEvent(std::size_t seen, LONGLONG timeout) {
  return portDevice_ != nullptr && port_.WaitForDeviceEvent(portDevice_, seen, timeout);
}

std::size_t CameraSession::ReadsAtDriver() const {
  return stream_ ? stream_->ReadsAtDriver() : 0;
}

NTSTATUS CameraSession::Close() {
  if (!stream_) return STATUS_SUCCESS;
  stream_->SetState(KSSTATE_STOP);
  const NTSTATUS status = stream_->Close();
  stream_.reset();
  host::DestroyMasterClock(clock_);
  clock_ = nullptr;
  return status;
}

void CameraSession::Remove() {
  if (stream_) Close();
  if (portDevice_ == nullptr) return;
  port_.RemoveDevice(portDevice_);
  portDevice_ = nullptr;
  device_ = nullptr;
}

}  // namespace veltocam::app
