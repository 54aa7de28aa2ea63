// The snapshot-button poll: what a status answer publishes, the extra read
// after a press, failed answers, and one poll at a time when deferred.
#include "control/camerastate.h"

#include <gtest/gtest.h>

#include "control/configstore.h"
#include "platform/host/registry_store.h"
#include "support/camera_rig.h"

namespace veltocam::test {
namespace {

const std::string kHwSnapKey = "\\Registry\\MACHINE\\SOFTWARE\\Test Camera\\HWSNAP";

class SnapshotButtonTest : public testing::Test {
 protected:
  void SetUp() override {
    std::memcpy(ProductName, "Test Camera", 12);
    BuildRegistryPaths(rig_.context());
    host::CreateRegistryKey(kHwSnapKey);
  }
  std::optional<std::uint32_t> HwSnap() { return host::GetRegistryDword(kHwSnapKey, "HWSNAP"); }
  std::size_t StatusReads() { return RequestsOf(rig_.camera.Commands(), 0x04).size(); }
  void Press() {
    rig_.camera.WithFirmware([](sim::CameraFirmware& f) { f.PressSnapshotButton(); });
  }

  CameraRig rig_;
};

TEST_F(SnapshotButtonTest, APressIsPublishedAndTheStatusReadOnceMore) {
  EXPECT_TRUE(RequestSnapshotStatus(rig_.context()));
  EXPECT_FALSE(HwSnap().has_value());
  EXPECT_EQ(StatusReads(), 1u);

  Press();
  EXPECT_TRUE(RequestSnapshotStatus(rig_.context()));
  EXPECT_EQ(HwSnap(), 1u);
  EXPECT_EQ(StatusReads(), 3u);
  const auto reads = RequestsOf(rig_.camera.Commands(), 0x04);
  EXPECT_EQ(reads[1].index, 1);
  EXPECT_EQ(reads[1].length, 2);
}

TEST_F(SnapshotButtonTest, OnlyASuccessfulAnswerWithBitOneSetCounts) {
  SnapshotStatus[0] = 0x01;
  SnapshotStatusComplete(rig_.context(), nullptr, STATUS_SUCCESS);
  EXPECT_FALSE(HwSnap().has_value());
  // The buffer still holds a pressed status from before, but this answer failed.
  SnapshotStatus[0] = 0x02;
  SnapshotStatusComplete(rig_.context(), nullptr, STATUS_UNSUCCESSFUL);
  EXPECT_FALSE(HwSnap().has_value());
  rig_.camera.WithFirmware([](sim::CameraFirmware& f) { f.faults.stalledRequests = {0x04}; });
  Press();
  EXPECT_FALSE(RequestSnapshotStatus(rig_.context()));
  EXPECT_FALSE(HwSnap().has_value());
  EXPECT_EQ(StatusReads(), 1u);
}

TEST_F(SnapshotButtonTest, ADeferredPollIsTheOnlyOneUntilItsAnswerCame) {
  Press();
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_TRUE(RequestSnapshotStatus(rig_.context()));
  EXPECT_TRUE(RequestSnapshotStatus(rig_.context()));
  KeLowerIrql(old);
  host::RunUntilIdle();
  EXPECT_EQ(HwSnap(), 1u);
  EXPECT_EQ(StatusReads(), 2u);  // the one poll and the read after the press

  host::DeleteRegistryValue(kHwSnapKey, "HWSNAP");
  EXPECT_TRUE(RequestSnapshotStatus(rig_.context()));
  EXPECT_EQ(StatusReads(), 3u);
  EXPECT_FALSE(HwSnap().has_value());
}

}  // namespace
}  // namespace veltocam::test
