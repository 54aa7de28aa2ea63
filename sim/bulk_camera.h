// The second camera model: the same firmware on the default pipe, but its
// interface streams pictures over a bulk IN pipe and reports its snapshot
// button on an interrupt IN pipe.
//
//   veltocam::sim::BulkCamera camera;
//   camera.SetFrameSource(&streamer);   // optional: pictures
//   bus.Attach(camera);
//   camera.PressSnapshotButton();       // one report on the interrupt pipe
//
// Each frame goes out whole in the camera's frame layout (header, then the
// picture data) and ends with a short packet; while it does not capture, or
// until the sensor has the next picture, the data pipe NAKs. Bulk traffic
// moves at full speed: 19 packets of 64 bytes per millisecond.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "sim/frame_streamer.h"
#include "sim/simulated_camera.h"

namespace veltocam::sim {

constexpr UCHAR kBulkCameraDataEndpoint = 0x81;
constexpr UCHAR kBulkCameraButtonEndpoint = 0x82;
constexpr USHORT kBulkCameraDataPacket = 64;
constexpr USHORT kBulkCameraButtonPacket = 8;
constexpr USHORT kBulkCameraProductId = 0x0326;
// The button report: bit 0 set while a press is reported.
constexpr UCHAR kButtonPressed = 0x01;

std::vector<UCHAR> BulkCameraDeviceDescriptor();
std::vector<UCHAR> BulkCameraConfigurationDescriptor();

class BulkCamera final : public SimulatedCamera {
 public:
  explicit BulkCamera(CameraIdentity identity = {},
                      const CommandSet& commands = DefaultCommandSet());

  // The source of the pictures; null: the data pipe never has data.
  void SetFrameSource(FrameStreamer* source);
  // The button was pressed: the interrupt pipe reports it once.
  void PressSnapshotButton();
  // The next `count` data transfers are answered with a STALL.
  void StallDataTransfers(int count);

  std::uint32_t FramesSent() const;
  std::uint32_t ButtonReportsSent() const;

  // host::UsbDeviceModel
  std::vector<UCHAR> DeviceDescriptor() const override;
  std::vector<UCHAR> ConfigurationDescriptor(UCHAR index) const override;
  host::UsbReply ControlTransfer(const host::UsbSetupPacket& setup, std::span<UCHAR> data) override;
  host::UsbReply BulkOrInterruptIn(UCHAR endpointAddress, std::span<UCHAR> buffer) override;
  void PipeAborted(UCHAR endpointAddress) override;
  void PipeReset(UCHAR endpointAddress) override;
  void Attached(host::UsbHost& host) override;
  void Detached() override;

 private:
  host::UsbReply DataIn(std::span<UCHAR> buffer);
  host::UsbReply ButtonIn(std::span<UCHAR> buffer);
  void DropFrame();

  mutable std::mutex mutex_;
  FrameStreamer* source_ = nullptr;
  host::UsbHost* host_ = nullptr;
  std::vector<UCHAR> frame_;  // the frame being sent
  std::size_t sent_ = 0;
  bool zeroLengthPending_ = false;  // the frame filled a transfer exactly
  std::uint64_t nextFrameTime_ = 0;
  bool capturing_ = false;
  int stalls_ = 0;
  int buttonReports_ = 0;
  std::uint32_t framesSent_ = 0;
  std::uint32_t buttonReportsSent_ = 0;
};

}  // namespace veltocam::sim
