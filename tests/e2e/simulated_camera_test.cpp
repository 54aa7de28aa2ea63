// The simulated camera's own promises to the rest of the system: the picture
// stream asks its packet source with what the firmware was told, late answers
// arrive late, and an unplugged camera answers nothing.
#include <gtest/gtest.h>

#include "classlayer/device_layer_services.h"
#include "sim/camera_model.h"
#include "support/camera_rig.h"

namespace veltocam::test {
namespace {

class RecordingSource : public sim::PacketSource {
 public:
  host::UsbIsoPacket NextPacket(const sim::StreamSettings& settings, ULONG frame,
                                std::span<UCHAR> packet) override {
    last = settings;
    lastFrame = frame;
    packet[0] = 0xAB;
    return {USBD_STATUS_SUCCESS, 1};
  }
  sim::StreamSettings last;
  ULONG lastFrame = 0;
};

void Send(CameraRig& rig, UCHAR request, USHORT index, UCHAR payload) {
  ULONG length = payload == 0xFF ? 0 : 1;
  ControlRequest(rig.context(), request, 0, index, &payload, &length, 0, nullptr, nullptr);
}

TEST(SimulatedCamera, StreamsFromItsSourceWithWhatTheFirmwareWasTold) {
  CameraRig rig;
  std::vector<UCHAR> packet(1023, 0);
  EXPECT_EQ(rig.camera.IsochInPacket(sim::kCameraIsoEndpoint, 5, packet).length, 0u);

  RecordingSource source;
  rig.camera.SetPacketSource(&source);
  rig.MakeFirmwarePrompt();
  Send(rig, 0x25, 1, 0xFF);  // power on
  Send(rig, 0x2A, 0, 3);     // size number 3
  Send(rig, 0x26, 0, 5);     // image type
  Send(rig, 0x24, 0, 2);     // Q table
  Send(rig, 0x27, 1, 0xFF);  // start
  const host::UsbIsoPacket sent = rig.camera.IsochInPacket(sim::kCameraIsoEndpoint, 7, packet);
  EXPECT_EQ(sent.length, 1u);
  EXPECT_EQ(packet[0], 0xAB);
  EXPECT_EQ(source.lastFrame, 7u);
  EXPECT_TRUE(source.last.capturing);
  EXPECT_EQ(source.last.sizeNumber, 3);
  EXPECT_EQ(source.last.sensorWidth, 160);
  EXPECT_EQ(source.last.sensorHeight, 120);
  EXPECT_EQ(source.last.imageType, 5);
  EXPECT_EQ(source.last.qtableIndex, 2);

  Send(rig, 0x28, 0, 0xFF);  // idle
  rig.camera.IsochInPacket(sim::kCameraIsoEndpoint, 8, packet);
  EXPECT_FALSE(source.last.capturing);
  rig.camera.SetPacketSource(nullptr);
}

TEST(SimulatedCamera, DescribesNineAlternateSettingsOfGrowingPacketSize) {
  const std::vector<UCHAR> config = sim::CameraConfigurationDescriptor();
  EXPECT_EQ(config[2] | config[3] << 8, static_cast<int>(config.size()));
  std::vector<int> sizes;
  for (std::size_t i = 0; i + 1 < config.size(); i += config[i]) {
    if (config[i + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE)
      sizes.push_back(config[i + 4] | config[i + 5] << 8);
  }
  EXPECT_EQ(sizes, (std::vector<int>{0, 128, 256, 384, 512, 680, 800, 900, 1023}));
}

TEST(SimulatedCamera, RefusesToStreamUnpoweredAndRecordsACommandSentWhileBusy) {
  sim::CameraFirmware firmware;
  const auto send = [&](UCHAR request, USHORT index, UCHAR payload, std::uint64_t now) {
    host::UsbSetupPacket setup{0x40, request, 0, index, 1};
    return firmware.Handle(setup, {&payload, 1}, now);
  };
  send(0x2A, 0, 3, 0);  // capture size
  send(0x27, 1, 0, host::Seconds(1));
  EXPECT_FALSE(firmware.settings().capturing) << "not powered";
  EXPECT_TRUE(firmware.ProtocolViolations().empty());
  send(0x25, 1, 0, host::Seconds(2));                          // power on
  send(0x27, 1, 0, host::Seconds(2) + host::Milliseconds(1));  // still busy
  EXPECT_TRUE(firmware.settings().capturing);
  ASSERT_EQ(firmware.ProtocolViolations().size(), 1u);
  EXPECT_NE(firmware.ProtocolViolations()[0].find("27 sent while busy"), std::string::npos);
  // The status byte's other bits carry no meaning; bit 0 still says busy.
  UCHAR status = 0;
  host::UsbSetupPacket read{0xC0, 0x21, 0, 0, 1};
  firmware.Handle(read, {&status, 1}, host::Seconds(2) + host::Milliseconds(2));
  EXPECT_EQ(status, (firmware.statusOtherBits & 0xFE) | 1);
}

TEST(SimulatedCamera, ALateAnswerWithinTheLimitStillArrives) {
  CameraRig rig;
  rig.camera.SetAnswerDelay(host::Seconds(2));
  UCHAR byte = 0;
  ULONG length = 1;
  const std::uint64_t before = host::Now();
  EXPECT_EQ(ControlRequest(rig.context(), 0x20, 0, 0, &byte, &length, 1, nullptr, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(byte, 2);
  // The answer's timer may fire up to a clock tick late.
  EXPECT_GE(host::Now() - before, static_cast<std::uint64_t>(host::Seconds(2)));
  EXPECT_LE(host::Now() - before, host::Seconds(2) + host::kClockTick);
}

TEST(SimulatedCamera, AnUnpluggedCameraAnswersNothing) {
  CameraRig rig;
  rig.camera.Unplug();
  host::RunUntilIdle();
  EXPECT_FALSE(rig.camera.Attached());
  UCHAR byte = 0x11;
  ULONG length = 1;
  EXPECT_FALSE(
      NT_SUCCESS(ControlRequest(rig.context(), 0x20, 0, 0, &byte, &length, 1, nullptr, nullptr)));
  EXPECT_EQ(byte, 0x11);
  EXPECT_TRUE(rig.camera.Commands().empty());
}

TEST(SimulatedCamera, ItsInstallerSettingsShipBuiltIn) {
  EXPECT_NE(
      sim::CameraModelRegText().find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\VeltoCam PC325\\CONTROL]"),
      std::string_view::npos);
  EXPECT_NE(std::string(sim::CameraModelRegPath()).find("camera_model.reg"), std::string::npos);
}

}  // namespace
}  // namespace veltocam::test
