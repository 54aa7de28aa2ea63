#include "sim/simulated_camera.h"

#include "platform/host/scheduler.h"

namespace veltocam::sim {

SimulatedCamera::SimulatedCamera(CameraIdentity identity, const CommandSet& commands)
    : firmware_(std::move(identity), commands) {}

void SimulatedCamera::SetPacketSource(PacketSource* source) {
  std::lock_guard lock(mutex_);
  source_ = source;
}

void SimulatedCamera::WithFirmware(const std::function<void(CameraFirmware&)>& change) {
  std::lock_guard lock(mutex_);
  change(firmware_);
}

void SimulatedCamera::SetFirmwareVersion(const std::array<UCHAR, 5>& version) {
  std::lock_guard lock(mutex_);
  firmware_.SetFirmwareVersion(version);
}

void SimulatedCamera::PressSnapshotButton() {
  std::lock_guard lock(mutex_);
  firmware_.PressSnapshotButton();
}

void SimulatedCamera::SetAnswerDelay(std::int64_t delay) {
  std::lock_guard lock(mutex_);
  answerDelay_ = delay;
}

void SimulatedCamera::SetNeverAnswer(std::set<UCHAR> requests) {
  std::lock_guard lock(mutex_);
  neverAnswer_ = std::move(requests);
}

void SimulatedCamera::Unplug() {
  host::UsbHost* host;
  {
    std::lock_guard lock(mutex_);
    host = host_;
  }
  if (host != nullptr) host->Unplug();
}

StreamSettings SimulatedCamera::Settings() const {
  std::lock_guard lock(mutex_);
  return firmware_.settings();
}

UCHAR SimulatedCamera::Register(USHORT address) const {
  std::lock_guard lock(mutex_);
  return firmware_.Register(address);
}

std::vector<std::pair<USHORT, UCHAR>> SimulatedCamera::RegisterWrites() const {
  std::lock_guard lock(mutex_);
  return firmware_.RegisterWrites();
}

std::vector<CommandRecord> SimulatedCamera::Commands() const {
  std::lock_guard lock(mutex_);
  return firmware_.log();
}

void SimulatedCamera::ClearCommands() {
  std::lock_guard lock(mutex_);
  firmware_.ClearLog();
}

std::vector<UCHAR> SimulatedCamera::StoredPayload(CameraCommand command) const {
  std::lock_guard lock(mutex_);
  return firmware_.StoredPayload(command);
}

bool SimulatedCamera::Attached() const {
  std::lock_guard lock(mutex_);
  return host_ != nullptr;
}

std::vector<UCHAR> SimulatedCamera::DeviceDescriptor() const {
  return CameraDeviceDescriptor();
}

std::vector<UCHAR> SimulatedCamera::ConfigurationDescriptor(UCHAR index) const {
  return index == 0 ? CameraConfigurationDescriptor() : std::vector<UCHAR>{};
}

host::UsbReply SimulatedCamera::ControlTransfer(const host::UsbSetupPacket& setup,
                                                std::span<UCHAR> data) {
  if ((setup.bmRequestType & 0x60) != 0x40) return UsbDeviceModel::ControlTransfer(setup, data);
  std::lock_guard lock(mutex_);
  if (neverAnswer_.count(setup.bRequest) != 0) return host::UsbReply::NeverAnswer();
  host::UsbReply reply = firmware_.Handle(setup, data, host::Now());
  return reply.After(answerDelay_);
}

host::UsbIsoPacket SimulatedCamera::IsochInPacket(UCHAR endpointAddress, ULONG frame,
                                                  std::span<UCHAR> packet) {
  std::lock_guard lock(mutex_);
  if (endpointAddress != kCameraIsoEndpoint || source_ == nullptr) return {};
  return source_->NextPacket(firmware_.settings(), frame, packet);
}

void SimulatedCamera::Attached(host::UsbHost& host) {
  std::lock_guard lock(mutex_);
  host_ = &host;
}

void SimulatedCamera::Detached() {
  std::lock_guard lock(mutex_);
  host_ = nullptr;
}

}  // namespace veltocam::sim
