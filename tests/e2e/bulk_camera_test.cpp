// The bulk camera model: whole frames in the camera's layout over its bulk
// pipe, each ended by a short packet (or a zero-length one), nothing while it
// does not capture, and one interrupt report per button press.
#include "sim/bulk_camera.h"

#include <gtest/gtest.h>

#include "platform/host/scheduler.h"
#include "platform/host/usb_bus.h"
#include "sim/scene.h"

namespace veltocam::test {
namespace {

using host::UsbReply;

void Vendor(sim::BulkCamera& camera, UCHAR request, USHORT index, std::vector<UCHAR> data = {}) {
  const host::UsbSetupPacket setup{0x40, request, 0, index, static_cast<USHORT>(data.size())};
  camera.ControlTransfer(setup, data);
}

TEST(BulkCamera, SendsWholeFramesEndedShortAndReportsItsButtonOnTheInterruptPipe) {
  sim::BulkCamera camera;
  sim::FrameStreamer streamer(sim::MakeColourBars());
  std::vector<std::uint8_t> payload;
  streamer.OnFrameSent([&](const sim::SentFrame& f) { payload = *f.payload; });
  camera.SetFrameSource(&streamer);
  host::UsbBus bus;
  bus.Attach(camera);

  std::vector<UCHAR> buffer(64 * 64);
  EXPECT_EQ(camera.BulkOrInterruptIn(sim::kBulkCameraDataEndpoint, buffer).when,
            UsbReply::When::WhenDataReady);  // not capturing
  Vendor(camera, 0x25, 1, {0xFF});           // power on
  Vendor(camera, 0x2A, 0, {3});              // 160 x 120
  Vendor(camera, 0x27, 1);                   // start
  std::vector<UCHAR> frame;
  for (;;) {
    const UsbReply reply = camera.BulkOrInterruptIn(sim::kBulkCameraDataEndpoint, buffer);
    ASSERT_EQ(reply.status, USBD_STATUS_SUCCESS);
    frame.insert(frame.end(), buffer.begin(), buffer.begin() + reply.bytes);
    if (reply.bytes < buffer.size()) break;
  }
  ASSERT_EQ(frame.size(), sim::FrameStreamer::kHeaderBytes + payload.size());
  EXPECT_EQ(frame[0], 0xFF);
  EXPECT_EQ(frame[5], 3);  // size number
  EXPECT_TRUE(std::equal(payload.begin(), payload.end(), frame.begin() + 15));
  EXPECT_EQ(camera.FramesSent(), 1u);

  // An aborted pipe drops the rest of a frame: the next transfer starts a new one.
  camera.BulkOrInterruptIn(sim::kBulkCameraDataEndpoint, std::span<UCHAR>(buffer.data(), 64));
  camera.PipeAborted(sim::kBulkCameraDataEndpoint);
  camera.BulkOrInterruptIn(sim::kBulkCameraDataEndpoint, std::span<UCHAR>(buffer.data(), 64));
  EXPECT_EQ(camera.FramesSent(), 3u);
  EXPECT_EQ(buffer[0], 0xFF);

  std::vector<UCHAR> report(8);
  EXPECT_EQ(camera.BulkOrInterruptIn(sim::kBulkCameraButtonEndpoint, report).when,
            UsbReply::When::WhenDataReady);
  camera.PressSnapshotButton();
  const UsbReply pressed = camera.BulkOrInterruptIn(sim::kBulkCameraButtonEndpoint, report);
  EXPECT_EQ(pressed.bytes, 1u);
  EXPECT_EQ(report[0], sim::kButtonPressed);
  EXPECT_EQ(camera.BulkOrInterruptIn(sim::kBulkCameraButtonEndpoint, report).when,
            UsbReply::When::WhenDataReady);
  camera.SetFrameSource(nullptr);
}

}  // namespace
}  // namespace veltocam::test
