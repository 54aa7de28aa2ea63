// The bulk camera through the whole driver, as a capture application drives
// it: pictures filled by one bulk transfer each, the snapshot button's
// interrupt reports reaching the client as the snapshot device event, and
// the stream surviving a stall, a pause, a sleep and an unplug.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "apps/camera_session.h"
#include "classlayer/bulk.h"
#include "classlayer/recovery.h"
#include "classlayer/usbconfig.h"
#include "platform/host/files_host.h"
#include "platform/host/pool.h"
#include "platform/host/scheduler.h"
#include "platform/host/stream_port.h"
#include "platform/host/usb_bus.h"
#include "sim/bulk_camera.h"
#include "sim/camera_model.h"
#include "sim/frame_streamer.h"
#include "support/camera_rig.h"
#include "support/sent_frames.h"
#include "support/test_directory.h"

namespace veltocam::test {
namespace {

using app::CameraSession;
using app::DeliveredFrame;

constexpr LONGLONG kWait = host::Seconds(5);

class BulkCaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetDeviceLayerState();
    root_ = test::FreshTestDirectory("veltocam-bulk-");
    host::SetSystemRoot(root_.string());
    ASSERT_TRUE(sim::LoadCameraModelSettings());
    sent_.Watch(streamer_);
    camera_.SetFrameSource(&streamer_);
    bus_ = std::make_unique<host::UsbBus>();
    bus_->Attach(camera_);
    session_ = std::make_unique<CameraSession>(bus_->DeviceObject());
    ASSERT_EQ(session_->Start(), STATUS_SUCCESS);
  }
  void TearDown() override {
    session_.reset();
    bus_.reset();
    camera_.SetFrameSource(nullptr);
    std::filesystem::remove_all(root_);
  }

  void Open(app::StreamFormat format = {160, 120, app::kFourccI420}, ULONG reads = 4) {
    std::string why;
    ASSERT_EQ(session_->Open(app::kCaptureStream, format, reads, &why), STATUS_SUCCESS) << why;
  }
  DeliveredFrame Next() {
    DeliveredFrame frame;
    EXPECT_TRUE(session_->NextFrame(&frame, kWait));
    return frame;
  }

  std::filesystem::path root_;
  sim::FrameStreamer streamer_{sim::MakeMovingScene()};
  sim::BulkCamera camera_;
  std::unique_ptr<host::UsbBus> bus_;
  std::unique_ptr<CameraSession> session_;
  SentFrames sent_;
};

TEST_F(BulkCaptureTest, EveryPictureIsTheDecodedFrameTheCameraSentInOrder) {
  Open({640, 480, app::kFourccI420});
  Next();  // the first picture of a stream is black by design
  std::uint32_t previous = 0;
  for (int i = 0; i < 5; ++i) {
    const DeliveredFrame frame = Next();
    ASSERT_EQ(frame.status, STATUS_SUCCESS);
    ASSERT_EQ(frame.data.size(), 640u * 480 * 3 / 2);
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
  // One transfer per frame, so no read ever waits for a frame to start.
  EXPECT_EQ(session_->StreamChannel(0)->PipeKind, kPipeKindBulk);
  // A larger frame takes longer to arrive: that is no dropped picture.
  LONGLONG picture = Next().pictureNumber;
  for (int i = 0; i < 12; ++i) {
    const DeliveredFrame frame = Next();
    EXPECT_EQ(frame.pictureNumber, ++picture);
    EXPECT_EQ(frame.dropCount, 0);
  }
}

TEST_F(BulkCaptureTest, EachButtonPressReachesTheClientAsTheSnapshotEvent) {
  Open();
  ASSERT_EQ(session_->EnableSnapshotEvent(), STATUS_SUCCESS);
  Next();
  for (std::size_t press = 0; press < 2; ++press) {
    camera_.PressSnapshotButton();
    EXPECT_TRUE(session_->WaitForSnapshotEvent(press, kWait)) << press;
    EXPECT_EQ(session_->SnapshotEvents(), press + 1);
    EXPECT_EQ(Next().status, STATUS_SUCCESS);  // the pictures go on meanwhile
  }
  EXPECT_EQ(camera_.ButtonReportsSent(), 2u);
}

TEST_F(BulkCaptureTest, AStalledTransferFailsOneReadAndRecoveryResetsThePipe) {
  Open();
  Next();
  camera_.StallDataTransfers(1);
  int failed = 0;
  int good = 0;
  for (int i = 0; i < 20 && good < 3; ++i) {
    const DeliveredFrame frame = Next();
    if (!NT_SUCCESS(frame.status)) {
      ++failed;
      EXPECT_TRUE(frame.data.empty());
    } else if (failed > 0) {
      ++good;
    }
  }
  EXPECT_EQ(failed, 1);
  EXPECT_EQ(good, 3) << "the stream did not come back after the stall";
}

TEST_F(BulkCaptureTest, ThePipeServiceStopsAndRestartsTheBulkStream) {
  Open();
  Next();
  PVOID context = DeviceContextOf(session_->Device());
  ASSERT_EQ(IsoPipeControl(context, 1), STATUS_SUCCESS);  // stop
  EXPECT_FALSE(BulkTransferPending(session_->Device(), session_->StreamChannel(0)->DataPipe));
  ASSERT_EQ(IsoPipeControl(context, 0), STATUS_SUCCESS);  // restart
  EXPECT_EQ(session_->StreamChannel(0)->PipeKind, kPipeKindBulk);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Next().status, STATUS_SUCCESS);
}

TEST_F(BulkCaptureTest, SleepCloseAndUnplugWithATransferInFlight) {
  struct Case {
    const char* what;
    int step;  // 0 sleep and wake, 1 close, 2 unplug
  };
  for (const Case c : {Case{"sleep", 0}, Case{"close", 1}, Case{"unplug", 2}}) {
    SCOPED_TRACE(c.what);
    if (!session_) {
      bus_ = std::make_unique<host::UsbBus>();
      bus_->Attach(camera_);
      session_ = std::make_unique<CameraSession>(bus_->DeviceObject());
      ASSERT_EQ(session_->Start(), STATUS_SUCCESS);
    }
    Open();
    Next();
    ASSERT_TRUE(BulkTransferPending(session_->Device(), session_->StreamChannel(0)->DataPipe));
    if (c.step == 0) {
      EXPECT_EQ(session_->Suspend(), STATUS_SUCCESS);
      for (int i = 0; i < 3; ++i) EXPECT_EQ(Next().status, STATUS_SUCCESS);
      EXPECT_EQ(session_->Close(), STATUS_SUCCESS);
    } else if (c.step == 1) {
      EXPECT_EQ(session_->Close(), STATUS_SUCCESS);
    } else {
      bus_->Detach();
      DeliveredFrame frame;
      while (session_->ReadsAtDriver() > 0 && session_->NextFrame(&frame, kWait)) {
      }
      EXPECT_EQ(session_->ReadsAtDriver(), 0u);
    }
    session_.reset();
    bus_.reset();
  }
}

}  // namespace
}  // namespace veltocam::test
