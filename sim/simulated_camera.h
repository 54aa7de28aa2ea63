// The simulated camera as the host USB bus sees it: descriptors, the
// firmware on the default pipe, and the isochronous picture stream from a
// PacketSource.
//
//   veltocam::sim::SimulatedCamera camera;   // the shipped camera model
//   camera.SetPacketSource(&source);         // optional: pictures
//   veltocam::host::UsbBus bus;
//   bus.Attach(camera);
//   ... the driver uses bus.DeviceObject() as its BusDeviceObject
//
// Fault switches: firmware faults (never idle, event never raised or never
// cleared, read-back mismatches, stalled requests) through WithFirmware;
// old firmware with SetFirmwareVersion({1, ...}); late or missing answers
// through SetAnswerDelay / SetNeverAnswer; disappearing with Unplug. The
// user's hand: PressSnapshotButton.
//
// Thread-safe: the bus may call it from its dispatcher thread while a
// program reads what it received.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <set>

#include "sim/camera_firmware.h"

namespace veltocam::sim {

class SimulatedCamera : public host::UsbDeviceModel {
 public:
  explicit SimulatedCamera(CameraIdentity identity = {},
                           const CommandSet& commands = DefaultCommandSet());

  // The source of the isochronous packets; null sends empty packets.
  void SetPacketSource(PacketSource* source);

  // Runs `change` on the firmware under the camera's lock: timing, faults,
  // registers, the snapshot button...
  void WithFirmware(const std::function<void(CameraFirmware&)>& change);
  void SetFirmwareVersion(const std::array<UCHAR, 5>& version);
  // The user presses the camera's snapshot button: the next status read
  // (vendor request 0x04) reports it, once.
  void PressSnapshotButton();

  // Every vendor answer comes this late (100 ns units; 0 = at once).
  void SetAnswerDelay(std::int64_t delay);
  // Vendor requests with these bRequest values are never answered.
  void SetNeverAnswer(std::set<UCHAR> requests);

  // The device leaves the bus (at the bus's next pump).
  void Unplug();

  // What it was told.
  StreamSettings Settings() const;
  UCHAR Register(USHORT address) const;
  std::vector<std::pair<USHORT, UCHAR>> RegisterWrites() const;
  std::vector<CommandRecord> Commands() const;
  void ClearCommands();
  std::vector<UCHAR> StoredPayload(CameraCommand command) const;
  bool Attached() const;

  // host::UsbDeviceModel
  std::vector<UCHAR> DeviceDescriptor() const override;
  std::vector<UCHAR> ConfigurationDescriptor(UCHAR index) const override;
  host::UsbReply ControlTransfer(const host::UsbSetupPacket& setup, std::span<UCHAR> data) override;
  host::UsbIsoPacket IsochInPacket(UCHAR endpointAddress, ULONG frame,
                                   std::span<UCHAR> packet) override;
  void Attached(host::UsbHost& host) override;
  void Detached() override;

 private:
  mutable std::mutex mutex_;
  CameraFirmware firmware_;
  PacketSource* source_ = nullptr;
  std::int64_t answerDelay_ = 0;
  std::set<UCHAR> neverAnswer_;
  host::UsbHost* host_ = nullptr;
};

}  // namespace veltocam::sim
