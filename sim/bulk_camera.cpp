#include "sim/bulk_camera.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "platform/host/scheduler.h"

namespace veltocam::sim {
namespace {

constexpr std::uint64_t kBytesPerMillisecond = 19 * kBulkCameraDataPacket;
constexpr std::uint64_t kTicksPerMillisecond = 10'000;
constexpr std::uint64_t kFrameInterval =
    kTicksPerMillisecond * 1000 / FrameStreamer::kSensorFramesPerSecond;
constexpr UCHAR kButtonInterval = 10;  // ms

UCHAR Low(USHORT value) {
  return static_cast<UCHAR>(value & 0xFF);
}
UCHAR High(USHORT value) {
  return static_cast<UCHAR>(value >> 8);
}

}  // namespace

std::vector<UCHAR> BulkCameraDeviceDescriptor() {
  std::vector<UCHAR> bytes = CameraDeviceDescriptor();
  bytes[offsetof(USB_DEVICE_DESCRIPTOR, idProduct)] = Low(kBulkCameraProductId);
  bytes[offsetof(USB_DEVICE_DESCRIPTOR, idProduct) + 1] = High(kBulkCameraProductId);
  return bytes;
}

std::vector<UCHAR> BulkCameraConfigurationDescriptor() {
  // Bulk traffic reserves no bandwidth: one alternate setting serves.
  std::vector<UCHAR> bytes = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 1, 1, 0, 0x80, 250};
  bytes.insert(bytes.end(), {9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 2, 0xFF, 0xFF, 0xFF, 0});
  bytes.insert(bytes.end(),
               {7, USB_ENDPOINT_DESCRIPTOR_TYPE, kBulkCameraDataEndpoint, USB_ENDPOINT_TYPE_BULK,
                Low(kBulkCameraDataPacket), High(kBulkCameraDataPacket), 0});
  bytes.insert(bytes.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, kBulkCameraButtonEndpoint,
                             USB_ENDPOINT_TYPE_INTERRUPT, Low(kBulkCameraButtonPacket),
                             High(kBulkCameraButtonPacket), kButtonInterval});
  bytes[2] = Low(static_cast<USHORT>(bytes.size()));
  bytes[3] = High(static_cast<USHORT>(bytes.size()));
  return bytes;
}

BulkCamera::BulkCamera(CameraIdentity identity, const CommandSet& commands)
    : SimulatedCamera(std::move(identity), commands) {}

void BulkCamera::SetFrameSource(FrameStreamer* source) {
  std::lock_guard lock(mutex_);
  source_ = source;
}

void BulkCamera::PressSnapshotButton() {
  host::UsbHost* host;
  {
    std::lock_guard lock(mutex_);
    ++buttonReports_;
    host = host_;
  }
  if (host != nullptr) host->DataReady(kBulkCameraButtonEndpoint);
}

void BulkCamera::StallDataTransfers(int count) {
  std::lock_guard lock(mutex_);
  stalls_ = count;
}

std::uint32_t BulkCamera::FramesSent() const {
  std::lock_guard lock(mutex_);
  return framesSent_;
}

std::uint32_t BulkCamera::ButtonReportsSent() const {
  std::lock_guard lock(mutex_);
  return buttonReportsSent_;
}

std::vector<UCHAR> BulkCamera::DeviceDescriptor() const {
  return BulkCameraDeviceDescriptor();
}

std::vector<UCHAR> BulkCamera::ConfigurationDescriptor(UCHAR index) const {
  return index == 0 ? BulkCameraConfigurationDescriptor() : std::vector<UCHAR>{};
}

host::UsbReply BulkCamera::ControlTransfer(const host::UsbSetupPacket& setup,
                                           std::span<UCHAR> data) {
  const host::UsbReply reply = SimulatedCamera::ControlTransfer(setup, data);
  const bool capturing = Settings().capturing;
  host::UsbHost* host = nullptr;
  {
    std::lock_guard lock(mutex_);
    if (capturing != capturing_) {
      capturing_ = capturing;
      DropFrame();
      if (capturing) host = host_;
    }
  }
  // A transfer that waited while the camera was idle is asked again.
  if (host != nullptr) host->DataReady(kBulkCameraDataEndpoint);
  return reply;
}

host::UsbReply BulkCamera::BulkOrInterruptIn(UCHAR endpointAddress, std::span<UCHAR> buffer) {
  if (endpointAddress == kBulkCameraButtonEndpoint) return ButtonIn(buffer);
  if (endpointAddress == kBulkCameraDataEndpoint) return DataIn(buffer);
  return host::UsbReply::Stall();
}

host::UsbReply BulkCamera::ButtonIn(std::span<UCHAR> buffer) {
  std::lock_guard lock(mutex_);
  if (buttonReports_ == 0 || buffer.empty()) return host::UsbReply::WaitForData();
  --buttonReports_;
  ++buttonReportsSent_;
  buffer[0] = kButtonPressed;
  return host::UsbReply::Done(1);
}

host::UsbReply BulkCamera::DataIn(std::span<UCHAR> buffer) {
  const StreamSettings settings = Settings();
  std::lock_guard lock(mutex_);
  if (stalls_ > 0) {
    --stalls_;
    return host::UsbReply::Stall();
  }
  if (!settings.capturing || source_ == nullptr) return host::UsbReply::WaitForData();
  if (zeroLengthPending_) {
    // The previous transfer ended exactly with the frame: this one ends it.
    zeroLengthPending_ = false;
    return host::UsbReply::Done(0);
  }
  const std::uint64_t now = host::Now();
  std::uint64_t wait = 0;
  if (sent_ == frame_.size()) {
    const std::vector<std::uint8_t>& next = source_->NextFrame(settings);
    frame_.assign(next.begin(), next.end());
    sent_ = 0;
    ++framesSent_;
    wait = nextFrameTime_ > now ? nextFrameTime_ - now : 0;
    nextFrameTime_ = std::max(nextFrameTime_, now) + kFrameInterval;
  }
  const std::size_t n = std::min(buffer.size(), frame_.size() - sent_);
  std::memcpy(buffer.data(), frame_.data() + sent_, n);
  sent_ += n;
  zeroLengthPending_ = sent_ == frame_.size() && n == buffer.size();
  const std::uint64_t moving =
      (n * kTicksPerMillisecond + kBytesPerMillisecond - 1) / kBytesPerMillisecond;
  return host::UsbReply::Done(static_cast<ULONG>(n))
      .After(static_cast<std::int64_t>(wait + moving));
}

void BulkCamera::DropFrame() {
  frame_.clear();
  sent_ = 0;
  zeroLengthPending_ = false;
}

void BulkCamera::PipeAborted(UCHAR endpointAddress) {
  std::lock_guard lock(mutex_);
  if (endpointAddress == kBulkCameraDataEndpoint) DropFrame();
}

void BulkCamera::PipeReset(UCHAR endpointAddress) {
  PipeAborted(endpointAddress);
}

void BulkCamera::Attached(host::UsbHost& host) {
  SimulatedCamera::Attached(host);
  std::lock_guard lock(mutex_);
  host_ = &host;
}

void BulkCamera::Detached() {
  SimulatedCamera::Detached();
  std::lock_guard lock(mutex_);
  host_ = nullptr;
}

}  // namespace veltocam::sim
