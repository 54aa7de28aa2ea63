// Snapshots: which pictures are saved, what the file holds, the count of
// wanted snapshots, the "Buffer" value, and retries after file failures.
#include "pipeline/snapshot.h"

#include "control/camerastate.h"
#include "frame_fixture.h"
#include "platform/files.h"
#include "platform/host/trace.h"

namespace {

using namespace veltocam::test;
namespace host = veltocam::host;
using veltocam::host::FileOperation;

using Snapshots = StreamingCamera;

TEST_F(Snapshots, EachWantedSnapshotReplacesTheFileWithTheNextPicture) {
  Start(160, 120, 176, 144, kI420);
  Deliver(Packetise({}));
  bSnap = 3;
  std::vector<UCHAR> last;
  for (unsigned seed = 1; seed <= 4; ++seed) last = Deliver(Packetise(Encode(160, 120, seed)));
  EXPECT_EQ(bSnap.load(), 0);
  EXPECT_EQ(host::FileOperationCount(FileOperation::Write), 3u);
  // The fourth picture came after the count ran out; the file holds the third.
  EXPECT_EQ(SnapshotFile(), Scaled(Decoded(Encode(160, 120, 3), 160, 120)));
  EXPECT_NE(SnapshotFile(), last);
  EXPECT_EQ(host::GetRegistryDword(kBufferKey, "Buffer"), 1u);
}

TEST_F(Snapshots, Rgb24PicturesAreNeverSaved) {
  Start(160, 120, 160, 120, kRgb24);
  bSnap = 3;
  Deliver(Packetise({}));
  Deliver(Packetise(Encode(160, 120, 1)));
  EXPECT_EQ(bSnap.load(), 3);
  EXPECT_FALSE(SnapshotExists());
}

TEST_F(Snapshots, AFailedCreateOrWriteIsRetriedOnTheNextPicture) {
  Start(160, 120, 160, 120, kIyuv);
  Deliver(Packetise({}));
  bSnap = 1;
  host::InjectFileFault(FileOperation::Create, STATUS_ACCESS_DENIED, 1);
  Deliver(Packetise(Encode(160, 120, 1)));
  EXPECT_EQ(bSnap.load(), 1);
  EXPECT_FALSE(host::GetRegistryDword(kBufferKey, "Buffer").has_value());

  host::InjectFileFault(FileOperation::Write, STATUS_DISK_FULL, 1);
  Deliver(Packetise(Encode(160, 120, 2)));
  EXPECT_EQ(bSnap.load(), 1);

  const std::vector<UCHAR> saved = Deliver(Packetise(Encode(160, 120, 3)));
  EXPECT_EQ(bSnap.load(), 0);
  EXPECT_EQ(SnapshotFile(), saved);
  EXPECT_EQ(host::GetRegistryDword(kBufferKey, "Buffer"), 1u);
}

TEST_F(Snapshots, RepeatedAndAllZeroPicturesAreSavedToo) {
  // A raw stream at 176 x 144 delivers all-zero pictures; they are saved.
  Start(160, 120, 176, 144, kI420, kRaw);
  const CameraFrame frame = Packetise(std::vector<UCHAR>(28800, 0x11));
  Deliver(frame);
  bSnap = 1;
  Deliver(frame);
  EXPECT_EQ(SnapshotFile(), std::vector<UCHAR>(176 * 144 * 3 / 2, 0));

  // An undecodable frame delivers (and saves) the repeat picture.
  Start(160, 120, 160, 120, kI420);
  Deliver(Packetise({}));
  const std::vector<UCHAR> good = Deliver(Packetise(Encode(160, 120, 1)));
  bSnap = 1;
  Deliver(Packetise({0x12, 0x34}));
  EXPECT_EQ(SnapshotFile(), good);
}

TEST_F(Snapshots, ImageTypeZeroSavesTwoBytesPerPixelOfTheCameraImage) {
  Start(160, 120, 160, 120, kI420, /*imageType=*/0);
  veltocam::host::TraceCapture trace;
  DebugMessage = 1;
  Deliver(Packetise({}));
  bSnap = 1;
  const std::vector<UCHAR> coded = Encode(160, 120, 1);
  Deliver(Packetise(coded));
  const std::vector<UCHAR> file = SnapshotFile();
  ASSERT_EQ(file.size(), 160u * 120 * 2);
  EXPECT_TRUE(std::equal(file.begin(), file.end(), ctx()->RawImageBuffer));
  const std::vector<UCHAR> decoded = Decoded(coded, 160, 120);
  EXPECT_TRUE(std::equal(decoded.begin(), decoded.end(), file.begin()));
  EXPECT_EQ(trace.Count("(Velto) Snap On(bType=0)"), 1u);
}

TEST_F(Snapshots, TheWriterKeepsItsCountWhenGivenNoData) {
  bSnap = 2;
  EXPECT_EQ(WriteSnapshotFile(ctx(), nullptr, 10), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(bSnap.load(), 2);
  const std::vector<UCHAR> big(1000, 1), small(10, 2);
  EXPECT_EQ(WriteSnapshotFile(ctx(), big.data(), 1000), STATUS_SUCCESS);
  EXPECT_EQ(WriteSnapshotFile(ctx(), small.data(), 10), STATUS_SUCCESS);
  EXPECT_EQ(SnapshotFile(), small);
  // A count set to 0 meanwhile does not wrap round.
  EXPECT_EQ(WriteSnapshotFile(ctx(), small.data(), 10), STATUS_SUCCESS);
  EXPECT_EQ(bSnap.load(), 0);
}

TEST_F(Snapshots, AFailedBufferWriteIsTheWritersResult) {
  host::DeleteRegistryKey(kBufferKey);
  bSnap = 1;
  const std::vector<UCHAR> data(10, 3);
  EXPECT_EQ(WriteSnapshotFile(ctx(), data.data(), 10), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(bSnap.load(), 0);
  EXPECT_EQ(SnapshotFile(), data);
}

TEST_F(Snapshots, WritingTheGoodFrameFlagAsZeroRestartsTheCount) {
  ctx()->GoodFrameCount = 100;
  EXPECT_EQ(WriteGoodFrameFlag(ctx(), 1), STATUS_SUCCESS);
  EXPECT_EQ(ctx()->GoodFrameCount, 100);
  EXPECT_EQ(host::GetRegistryDword(kGoodFrameKey, "Flag"), 1u);
  EXPECT_EQ(WriteGoodFrameFlag(ctx(), 0), STATUS_SUCCESS);
  EXPECT_EQ(ctx()->GoodFrameCount, 0);
  EXPECT_EQ(host::GetRegistryDword(kGoodFrameKey, "Flag"), 0u);
}

}  // namespace
