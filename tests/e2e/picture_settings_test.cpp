// The picture settings through a whole stream: restored when the stream
// starts, saved when it stops, and never saved as values nobody chose.
#include <gtest/gtest.h>

#include "apps/camera_session.h"
#include "classlayer/callback_calls.h"
#include "platform/host/registry_store.h"
#include "sim/camera_model.h"
#include "sim/frame_streamer.h"
#include "support/camera_rig.h"

namespace veltocam::test {
namespace {

const std::string kProcAmp =
    std::string("\\Registry\\MACHINE\\SOFTWARE\\") + sim::kCameraProductName + "\\VIDEOPROCAMP";

class PictureSettingsTest : public testing::Test {
 protected:
  void SetUp() override {
    ResetDeviceLayerState();
    ASSERT_TRUE(sim::LoadCameraModelSettings());
    camera_.SetPacketSource(&streamer_);
    bus_.Attach(camera_);
    ASSERT_EQ(path_.Start(), STATUS_SUCCESS);
  }
  void TearDown() override { ExpectNoProtocolViolations(camera_); }
  void Stream() {
    std::string why;
    ASSERT_EQ(path_.Open(app::kCaptureStream, {160, 120, app::kFourccI420}, 4, &why),
              STATUS_SUCCESS)
        << why;
    app::DeliveredFrame frame;
    EXPECT_TRUE(path_.NextFrame(&frame, host::Seconds(5)));
    EXPECT_EQ(path_.Close(), STATUS_SUCCESS);
  }
  ULONG Stored(const char* name) { return host::GetRegistryDword(kProcAmp, name).value_or(0xDEAD); }

  sim::FrameStreamer streamer_{sim::MakeColourBars(), {}};
  sim::SimulatedCamera camera_;
  host::UsbBus bus_;
  app::CameraSession path_{bus_.DeviceObject()};
};

TEST_F(PictureSettingsTest, AStreamOnAFreshStoreSavesTheDefaultsNotZeros) {
  Stream();
  EXPECT_EQ(Stored("ApplyRegistryValues"), 1u);
  EXPECT_EQ(Stored("Brightness"), 128u);
  EXPECT_EQ(Stored("Contrast"), 1u);
  EXPECT_EQ(Stored("Hue"), 0u);
  EXPECT_EQ(Stored("Saturation"), 1u);
  EXPECT_EQ(Stored("Sharpness"), 0u);
  EXPECT_EQ(Stored("Whitebalance"), 38u);
}

TEST_F(PictureSettingsTest, StoredValuesReachTheCameraAtStreamStartAndAreKeptAtStop) {
  host::SetRegistryDword(kProcAmp, "ApplyRegistryValues", 1);
  host::SetRegistryDword(kProcAmp, "Brightness", 10);
  host::SetRegistryDword(kProcAmp, "Saturation", 4);
  camera_.ClearCommands();
  Stream();
  EXPECT_EQ(camera_.Register(0x2101), 138);
  EXPECT_EQ(camera_.Register(0x2105), 128);
  EXPECT_EQ(Stored("Brightness"), 10u);
  EXPECT_EQ(Stored("Saturation"), 4u);
  EXPECT_EQ(Stored("Contrast"), 1u);
}

TEST_F(PictureSettingsTest, PowerRestoreSendsTheStoredValuesAgain) {
  Stream();
  host::SetRegistryDword(kProcAmp, "Hue", 100);
  camera_.ClearCommands();
  EXPECT_EQ(CallSaveState(path_.Device()), STATUS_SUCCESS);
  EXPECT_EQ(CallRestoreState(path_.Device()), STATUS_SUCCESS);
  EXPECT_EQ(camera_.Register(0x2103), 200);
  EXPECT_EQ(camera_.Register(0x2104), 1);
  EXPECT_EQ(path_.Context()->RestoringProperties, 0);
}

}  // namespace
}  // namespace veltocam::test
