// The whole data path on the deterministic scheduler, as a capture
// application drives it: simulated camera -> host USB bus -> frame engine ->
// ProcessPacket -> completion work item -> ProcessRawFrame -> completed read
// -> stream-class port -> capture client.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "apps/camera_session.h"
#include "classlayer/callback_calls.h"
#include "classlayer/frameengine.h"
#include "pipeline/reorderscale.h"
#include "platform/host/files_host.h"
#include "platform/host/pool.h"
#include "platform/host/registry_store.h"
#include "platform/host/scheduler.h"
#include "platform/host/usb_bus.h"
#include "sim/camera_model.h"
#include "sim/frame_streamer.h"
#include "sim/simulated_camera.h"
#include "support/camera_rig.h"
#include "support/sent_frames.h"
#include "support/test_directory.h"

namespace veltocam::test {
namespace {

using app::CameraSession;
using app::DeliveredFrame;
using app::StreamFormat;

constexpr LONGLONG kWait = host::Seconds(5);

std::vector<std::uint8_t> Black(ULONG w, ULONG h) {
  std::vector<std::uint8_t> p(w * h, 0);
  p.resize(w * h * 3 / 2, 0x80);
  return p;
}

// The camera, the bus and the driver's data path, with a record of every
// frame the camera sent.
class CaptureSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetDeviceLayerState();
    root_ = test::FreshTestDirectory("veltocam-e2e-");
    host::SetSystemRoot(root_.string());
    ASSERT_TRUE(sim::LoadCameraModelSettings());
  }
  void TearDown() override {
    path_.reset();
    bus_.reset();
    ExpectNoProtocolViolations(camera_);
    std::filesystem::remove_all(root_);
  }

  void Plug(sim::StreamFaults faults = {},
            std::unique_ptr<sim::Scene> scene = sim::MakeMovingScene()) {
    streamer_ = std::make_unique<sim::FrameStreamer>(std::move(scene), faults);
    sent_.Watch(*streamer_);
    camera_.SetPacketSource(streamer_.get());
    bus_ = std::make_unique<host::UsbBus>();
    bus_->Attach(camera_);
    path_ = std::make_unique<CameraSession>(bus_->DeviceObject());
    ASSERT_EQ(path_->Start(), STATUS_SUCCESS);
  }

  void Open(StreamFormat format, ULONG requests = 4) {
    std::string why;
    ASSERT_EQ(path_->Open(app::kCaptureStream, format, requests, &why), STATUS_SUCCESS) << why;
  }

  DeliveredFrame Next() {
    DeliveredFrame frame;
    EXPECT_TRUE(path_->NextFrame(&frame, kWait));
    return frame;
  }

  std::filesystem::path root_;
  sim::SimulatedCamera camera_;
  std::unique_ptr<sim::FrameStreamer> streamer_;
  std::unique_ptr<host::UsbBus> bus_;
  std::unique_ptr<CameraSession> path_;
  SentFrames sent_;
};

TEST_F(CaptureSessionTest, EveryPictureIsTheDecoderOutputOfAFrameTheCameraSent) {
  Plug();
  Open({640, 480, app::kFourccI420});
  DeliveredFrame first = Next();
  EXPECT_EQ(first.data, Black(640, 480));  // the first frame of a stream is black

  std::uint32_t previous = 0;
  for (int i = 0; i < 6; ++i) {
    DeliveredFrame frame = Next();
    ASSERT_EQ(frame.status, STATUS_SUCCESS);
    ASSERT_EQ(frame.data.size(), 640u * 480 * 3 / 2);
    EXPECT_FALSE(frame.damaged);
    // The frames are the camera's, in the order it sent them.
    bool found = false;
    for (const auto& [number, sent] : sent_.All()) {
      if (number > previous && SentFrames::Decode(sent) == frame.data) {
        previous = number;
        found = true;
        break;
      }
    }
    EXPECT_TRUE(found) << "picture " << i << " is no frame the camera sent";
  }
}

TEST_F(CaptureSessionTest, SmallerFormatsAreTheDecodedSensorImageScaled) {
  Plug();
  Open({176, 144, app::kFourccI420});
  Next();
  DeliveredFrame frame = Next();
  ASSERT_EQ(frame.data.size(), 176u * 144 * 3 / 2);
  DeviceContext* ctx = path_->Context();
  EXPECT_EQ(ctx->SensorImageWidth, 160u);
  EXPECT_EQ(ctx->SensorImageHeight, 120u);
  bool found = false;
  for (const auto& [number, sent] : sent_.All()) {
    std::vector<std::uint8_t> sensor = SentFrames::Decode(sent);
    std::vector<std::uint8_t> scaled(176 * 144 * 3 / 2);
    ScaleYuv420(ctx, scaled.data(), ULONG(scaled.size()), sensor.data());
    found = found || scaled == frame.data;
  }
  EXPECT_TRUE(found);
}

TEST_F(CaptureSessionTest, PictureNumbersFollowTheMasterClockAndRequestsCompleteInOrder) {
  Plug();
  Open({320, 240, app::kFourccI420});
  // The camera sends 30 pictures a second and nothing is lost: the pictures
  // are numbered 0, 1, 2, ... on the master clock, one frame time apart.
  LONGLONG lastTime = -1;
  for (LONGLONG i = 0; i < 8; ++i) {
    DeliveredFrame frame = Next();
    EXPECT_GT(frame.presentationTime, lastTime);
    EXPECT_EQ(frame.pictureNumber, i);
    EXPECT_EQ(frame.dropCount, 0);
    EXPECT_EQ(frame.duration, 333333);
    EXPECT_EQ(frame.optionsFlags & 0x110u, 0x110u);
    lastTime = frame.presentationTime;
  }
}

TEST_F(CaptureSessionTest, FramesWithoutAWaitingRequestAreLostAndShowAsDrops) {
  Plug();
  Open({320, 240, app::kFourccI420}, 1);
  DeliveredFrame first = Next();
  EXPECT_EQ(first.dropCount, 0);
  Next();
  // Nobody reads for half a second: the one request is used up and the
  // camera's frames meanwhile start with no request to fill.
  const std::uint32_t sentBefore = streamer_->FramesStarted();
  host::AdvanceTime(host::Milliseconds(500));
  Next();  // filled by the first frame of the pause
  DeliveredFrame late = Next();
  EXPECT_GT(streamer_->FramesStarted(), sentBefore + 10);
  EXPECT_GT(late.dropCount, 10);
}

TEST_F(CaptureSessionTest, ADamagedFrameDeliversTheRepeatPicture) {
  sim::StreamFaults faults;
  faults.loss = 0.03;
  faults.seed = 11;
  Plug(faults);
  Open({320, 240, app::kFourccI420});
  std::vector<std::uint8_t> previous;
  int damaged = 0;
  for (int i = 0; i < 30; ++i) {
    DeliveredFrame frame = Next();
    if (frame.damaged && !previous.empty()) {
      EXPECT_EQ(frame.data, previous);
      ++damaged;
    }
    previous = frame.data;
  }
  EXPECT_GT(damaged, 0);
  EXPECT_GT(path_->Context()->SequenceErrorCount, 0u);
}

TEST_F(CaptureSessionTest, TransfersWhosePacketsAllFailedAreRecoveredByResetAndRestart) {
  Plug();
  Open({320, 240, app::kFourccI420});
  Next();
  // For a while every packet fails: whole transfers come back failed, are
  // neither walked nor resubmitted, and the channel records the error.
  sim::StreamFaults failing;
  failing.failFrameCount = 0xFFFFFFFF;
  sim::FrameStreamer broken(sim::MakeMovingScene(), failing);
  camera_.SetPacketSource(&broken);
  host::AdvanceTime(host::Milliseconds(100));
  EXPECT_EQ(path_->StreamChannel(0)->ErrorFlag, 1u);
  EXPECT_EQ(bus_->RequestCount(URB_FUNCTION_ABORT_PIPE), 0u);
  camera_.SetPacketSource(streamer_.get());
  // The watchdog notices, the recovery aborts and resets the pipe, restarts
  // capture and resubmits: pictures flow again.
  DeliveredFrame after = Next();
  EXPECT_EQ(after.status, STATUS_SUCCESS);
  EXPECT_GE(bus_->RequestCount(URB_FUNCTION_ABORT_PIPE), 1u);
  EXPECT_GE(bus_->RequestCount(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL), 2u);
  EXPECT_EQ(path_->Device()->ResetCount[0], -1);
}

TEST_F(CaptureSessionTest, RawFramesAndRgb24TakeTheirOwnPaths) {
  host::SetRegistryDword(
      std::string("\\Registry\\MACHINE\\SOFTWARE\\") + sim::kCameraProductName + "\\CONTROL",
      "IMAGETYPE", sim::FrameStreamer::kRawImageType);
  Plug(sim::StreamFaults{}, sim::MakeColourBars());
  Open({320, 240, app::kRgb24});
  Next();
  DeliveredFrame frame = Next();
  ASSERT_EQ(frame.data.size(), 320u * 240 * 3);
  EXPECT_FALSE(frame.damaged);
  // Bottom-up BGR: the last row of the buffer is the picture's top row, whose
  // first bar is light grey.
  const std::uint8_t* top = frame.data.data() + 239 * 320 * 3;
  EXPECT_NEAR(top[0], 191, 3);
  EXPECT_NEAR(top[1], 191, 3);
  EXPECT_NEAR(top[2], 191, 3);
}

TEST_F(CaptureSessionTest, PublishedStateFollowsTheStreamAndPowerRestoreUsesSettingSeven) {
  Plug();
  Open({320, 240, app::kFourccI420});
  const std::string key = std::string("\\Registry\\MACHINE\\SOFTWARE\\") + sim::kCameraProductName;
  auto published = [&](const char* subkey, const char* name) {
    return host::GetRegistryDword(key + "\\" + subkey, name).value_or(0xDEAD);
  };
  EXPECT_EQ(published("HWSTATE", "HwState"), 1u);
  EXPECT_EQ(published("GoodFrame", "Flag"), 0u);
  for (int i = 0; i < 7; ++i) Next();  // the black frame, then good ones
  EXPECT_EQ(published("GoodFrame", "Flag"), 1u);

  path_->Close();
  EXPECT_EQ(published("HWSTATE", "HwState"), 1u);
  EXPECT_EQ(published("GoodFrame", "Flag"), 0u);
  EXPECT_EQ(bus_->AlternateSetting(0), 0);

  EXPECT_EQ(CallSaveState(path_->Device()), STATUS_SUCCESS);
  EXPECT_EQ(CallRestoreState(path_->Device()), STATUS_SUCCESS);
  EXPECT_EQ(bus_->AlternateSetting(0), 7);
  EXPECT_EQ(path_->Context()->MaxPacketSize,
            path_->Context()->Interface->Pipes[0].MaximumPacketSize);

  path_->Remove();  // uninitialisation
  EXPECT_EQ(published("HWSTATE", "HwState"), 0u);
}

// An application gives reads up at any point of a frame: waiting, being
// filled, or already on their way back. Each comes back exactly once (the
// port checks), and the stream goes on delivering whole pictures.
TEST_F(CaptureSessionTest, ReadsCancelledWhileStreamingComeBackOnceAndTheStreamGoesOn) {
  Plug();
  Open({320, 240, app::kFourccI420});
  int cancelled = 0;
  for (int i = 0; i < 20; ++i) {
    host::AdvanceTime(host::Milliseconds(i % 7 * 5));
    path_->CancelOldestRead();
    DeliveredFrame frame = Next();
    for (; frame.status == STATUS_CANCELLED; frame = Next()) {
      EXPECT_TRUE(frame.data.empty());
      ++cancelled;
    }
    ASSERT_EQ(frame.status, STATUS_SUCCESS);
    EXPECT_EQ(frame.data.size(), 320u * 240 * 3 / 2);
  }
  EXPECT_GT(cancelled, 5);
  path_->Close();
  EXPECT_EQ(path_->Port().PendingRequests(path_->Port().Devices().front()), 0u);
}

TEST_F(CaptureSessionTest, CloseWhileRunningStopsTransfersAndCancelsWaitingReads) {
  Plug();
  Open({160, 120, app::kFourccI420}, 3);
  Next();
  path_->Close();
  EXPECT_EQ(bus_->PendingRequests(), 0u);
  EXPECT_EQ(path_->Device()->Channel[0], nullptr);
  path_.reset();
  EXPECT_EQ(host::OutstandingBlocks(kClassPoolTag), 0u);
}

// The camera goes while pictures stream: the recovery finds the port empty,
// every read at the driver comes back cancelled exactly once, and removal
// leaves nothing at the bus or in the pool.
TEST_F(CaptureSessionTest, AnUnplugMidStreamCancelsEveryReadOnceAndRemovesCleanly) {
  Plug();
  Open({176, 144, app::kFourccI420}, 4);
  Next();
  bus_->Detach();
  int cancelled = 0;
  DeliveredFrame frame;
  while (path_->ReadsAtDriver() > 0 && path_->NextFrame(&frame, kWait)) {
    cancelled += frame.status == STATUS_CANCELLED ? 1 : 0;
  }
  EXPECT_EQ(path_->ReadsAtDriver(), 0u);
  EXPECT_GE(cancelled, 1);  // some may have had their picture before the unplug
  EXPECT_EQ(path_->Device()->Removed, 1u);
  host::StreamClassPort& port = path_->Port();
  path_->Remove();
  EXPECT_EQ(port.RequestsIssued(), port.RequestsCompleted());
  EXPECT_EQ(bus_->PendingRequests(), 0u);
  EXPECT_EQ(host::OutstandingBlocks(kClassPoolTag), 0u);
}

// After an unplug the close stops the camera with commands nobody answers:
// they give up at once, so close and removal take only the stop's wait for
// the watchdog.
TEST_F(CaptureSessionTest, RemovalAfterAnUnplugIsNotHeldUpByTheGoneCamera) {
  Plug();
  Open({640, 480, app::kFourccI420});
  for (int i = 0; i < 3; ++i) Next();
  bus_->Detach();
  path_->StopQueueingReads();
  DeliveredFrame frame;
  while (path_->NextFrame(&frame, path_->ReadsAtDriver() > 0 ? kWait : 0)) {
  }
  const std::uint64_t before = host::Now();
  path_->Remove();
  EXPECT_LT(host::Now() - before, static_cast<std::uint64_t>(host::Milliseconds(400)));
}

}  // namespace
}  // namespace veltocam::test
