// The raw-frame callback: first frame, repeat picture, compressed and raw
// frames to I420 and RGB24, the VGA placement, frames that cannot be used,
// the cancel path and the per-camera lock.
#include <thread>

#include "frame_fixture.h"
#include "platform/host/platform.h"

namespace {

using namespace veltocam::test;
namespace host = veltocam::host;

using RawFrames = StreamingCamera;

std::vector<UCHAR> Black420(ULONG w, ULONG h) {
  std::vector<UCHAR> picture(w * h, 0);
  picture.resize(w * h * 3 / 2, 0x80);
  return picture;
}

TEST_F(RawFrames, FirstFrameAndEarlyRepeatsAreBlackInTheOutputFormat) {
  const CameraFrame frame = Packetise(Encode(160, 120, 1));
  Start(160, 120, 176, 144, kI420);
  EXPECT_EQ(Deliver(frame), Black420(176, 144));
  EXPECT_EQ(bytes_, 176u * 144 * 3 / 2);
  EXPECT_EQ(ctx()->FirstFrameDone, 1);
  // Damaged before any good frame: black again, not whatever the buffer held.
  EXPECT_EQ(DeliverDamaged(frame), Black420(176, 144));
  EXPECT_TRUE(IsFrameValid(ctx()));

  Start(160, 120, 176, 144, kRgb24);
  MarkFrameDamaged(ctx());  // the first frame is black even when damaged
  EXPECT_EQ(Deliver(frame), std::vector<UCHAR>(176 * 144 * 3, 0));
  EXPECT_EQ(DeliverDamaged(frame), std::vector<UCHAR>(176 * 144 * 3, 0));
  EXPECT_EQ(ctx()->GoodFrameCount, 0);
}

TEST_F(RawFrames, TheFramesOwnMarkDecidesNotTheCameraFlag) {
  const std::vector<UCHAR> coded = Encode(160, 120, 21);
  Start(160, 120, 160, 120, kI420);
  Deliver(Packetise({}));
  const CameraFrame frame = Packetise(coded);
  std::vector<UCHAR> raw = frame.raw;
  std::vector<UCHAR> out(160 * 120 * 3 / 2);
  ULONG bytes = 0;
  // The next frame's packets have just marked the camera damaged; this
  // frame's own mark says it arrived intact.
  MarkFrameDamaged(ctx());
  FrameMark intact{0, {}};
  ProcessRawFrame(nullptr, ctx(), &intact, out.data(), ULONG(out.size()), raw.data(),
                  ULONG(raw.size()), frame.packets, &bytes, frame.received, 0);
  EXPECT_EQ(out, Decoded(coded, 160, 120));
  EXPECT_FALSE(IsFrameValid(ctx()));  // left for the frame it belongs to

  FrameMark damaged{1, {}};
  MarkFrameValid(ctx());
  const std::vector<UCHAR> previous = out;
  raw = Packetise(Encode(160, 120, 22)).raw;
  ProcessRawFrame(nullptr, ctx(), &damaged, out.data(), ULONG(out.size()), raw.data(),
                  ULONG(raw.size()), frame.packets, &bytes, frame.received, 0);
  EXPECT_EQ(out, previous);
}

TEST_F(RawFrames, CompressedFramesAreDecodedAtTheSensorSizeAndScaled) {
  const std::vector<UCHAR> coded = Encode(640, 480, 2);
  const std::vector<UCHAR> sensor = Decoded(coded, 640, 480);
  for (ULONG format : {kI420, kIyuv}) {
    Start(640, 480, 352, 288, format);
    Deliver(Packetise({}));
    EXPECT_EQ(Deliver(Packetise(coded)), Scaled(sensor));
    EXPECT_EQ(bytes_, 352u * 288 * 3 / 2);
  }
  Start(640, 480, 640, 480, kI420);
  Deliver(Packetise({}));
  EXPECT_EQ(Deliver(Packetise(coded)), sensor);
}

TEST_F(RawFrames, DamagedAndUndecodableFramesRepeatTheLastGoodPicture) {
  const std::vector<UCHAR> coded = Encode(320, 240, 3);
  Start(320, 240, 320, 240, kI420);
  Deliver(Packetise({}));
  const std::vector<UCHAR> good = Deliver(Packetise(coded));
  EXPECT_EQ(good, Decoded(coded, 320, 240));
  EXPECT_EQ(ctx()->GoodFrameCount, 1);

  EXPECT_EQ(DeliverDamaged(Packetise(Encode(320, 240, 4))), good);
  EXPECT_EQ(ctx()->GoodFrameCount, 1);

  // Cut short: the decoder runs out of data. The count is taken before decoding.
  std::vector<UCHAR> cut(coded.begin(), coded.begin() + coded.size() / 2);
  EXPECT_EQ(Deliver(Packetise(cut)), good);
  EXPECT_EQ(bytes_, 320u * 240 * 3 / 2);
  EXPECT_EQ(ctx()->GoodFrameCount, 2);
}

TEST_F(RawFrames, TheFifthGoodFramePublishesTheGoodFrameFlagOnce) {
  const CameraFrame frame = Packetise(Encode(160, 120, 5));
  Start(160, 120, 160, 120, kI420);
  host::SetRegistryDword(kGoodFrameKey, "Flag", 0);
  Deliver(frame);  // the black first frame is not counted
  for (int i = 1; i <= 4; ++i) {
    Deliver(frame);
    EXPECT_EQ(ctx()->GoodFrameCount, i);
  }
  EXPECT_EQ(host::GetRegistryDword(kGoodFrameKey, "Flag"), 0u);
  Deliver(frame);
  EXPECT_EQ(ctx()->GoodFrameCount, 100);
  EXPECT_EQ(host::GetRegistryDword(kGoodFrameKey, "Flag"), 1u);

  host::DeleteRegistryValue(kGoodFrameKey, "Flag");
  Deliver(frame);
  EXPECT_FALSE(host::GetRegistryDword(kGoodFrameKey, "Flag").has_value());
  EXPECT_EQ(ctx()->GoodFrameCount, 100);
}

TEST_F(RawFrames, Rgb24FramesAreConvertedAndRepeatedAsRgb24) {
  const std::vector<UCHAR> coded = Encode(640, 480, 6);
  for (ULONG hasMmx : {0u, 1u}) {
    Start(640, 480, 352, 288, kRgb24);
    ctx()->HasMmx = hasMmx;
    Deliver(Packetise({}));
    const std::vector<UCHAR> rgb = Deliver(Packetise(coded));
    EXPECT_EQ(rgb, Rgb(Scaled(Decoded(coded, 640, 480))));
    EXPECT_EQ(bytes_, 352u * 288 * 3);
    EXPECT_EQ(DeliverDamaged(Packetise(coded)), rgb);
    EXPECT_EQ(Deliver(Packetise({1, 2, 3})), rgb);
  }
}

TEST_F(RawFrames, VgaPlacementPutsTheSensorImageOnGreyInsteadOfScaling) {
  const std::vector<UCHAR> coded = Encode(320, 240, 7);
  const std::vector<UCHAR> sensor = Decoded(coded, 320, 240);
  Start(320, 240, 640, 480, kI420);
  ctx()->VgaNoInterpolate = 1;
  Deliver(Packetise({}));
  const std::vector<UCHAR> out = Deliver(Packetise(coded));
  ASSERT_EQ(out.size(), 640u * 480 * 3 / 2);
  for (ULONG y = 0; y < 480; ++y) {
    for (ULONG x = 0; x < 640; x += 7) {
      ASSERT_EQ(out[y * 640 + x], x < 320 && y < 240 ? sensor[y * 320 + x] : 0x80) << x << "," << y;
    }
  }
  EXPECT_EQ(out[640 * 480], sensor[320 * 240]);
  EXPECT_EQ(out.back(), 0x80);

  ctx()->VgaNoInterpolate = 0;
  EXPECT_EQ(Deliver(Packetise(coded)), Scaled(sensor));
}

std::vector<UCHAR> RawMacroblocksOf(const std::vector<UCHAR>& picture, ULONG w, ULONG h) {
  std::vector<UCHAR> raw;
  const UCHAR* planes[3] = {picture.data(), picture.data() + w * h, picture.data() + w * h * 5 / 4};
  for (ULONG y = 0; y < h; y += 16) {
    for (ULONG x = 0; x < w; x += 16) {
      for (int b = 0; b < 6; ++b) {
        const ULONG pw = b < 4 ? w : w / 2;
        const ULONG bx = b < 4 ? x + (b % 2) * 8 : x / 2;
        const ULONG by = b < 4 ? y + (b / 2) * 8 : y / 2;
        for (ULONG r = 0; r < 8; ++r) {
          for (ULONG c = 0; c < 8; ++c) {
            raw.push_back(planes[b < 4 ? 0 : b - 3][(by + r) * pw + bx + c] ^ 0x80);
          }
        }
      }
    }
  }
  return raw;
}

TEST_F(RawFrames, RawFramesAreReorderedScaledAndKeptAsTheRepeatPicture) {
  const std::vector<UCHAR> picture = TestPicture(320, 240, 8);
  const CameraFrame frame = Packetise(RawMacroblocksOf(picture, 320, 240));
  Start(320, 240, 352, 288, kI420, kRaw);
  Deliver(frame);
  const std::vector<UCHAR> yuv = Deliver(frame);
  EXPECT_EQ(yuv, Scaled(picture));
  EXPECT_EQ(DeliverDamaged(frame), yuv);

  Start(320, 240, 352, 288, kRgb24, kRaw);
  Deliver(frame);
  const std::vector<UCHAR> rgb = Deliver(frame);
  EXPECT_EQ(rgb, Rgb(Scaled(picture)));
  EXPECT_EQ(DeliverDamaged(frame), rgb);
}

TEST_F(RawFrames, RawFramesTooShortForTheirMacroblocksRepeatThePicture) {
  const std::vector<UCHAR> picture = TestPicture(320, 240, 9);
  const std::vector<UCHAR> macroblocks = RawMacroblocksOf(picture, 320, 240);
  Start(320, 240, 320, 240, kI420, kRaw);
  Deliver(Packetise(macroblocks));
  const std::vector<UCHAR> good = Deliver(Packetise(macroblocks));
  EXPECT_EQ(good, picture);
  // The packets brought one byte less than the macroblocks need.
  const CameraFrame frame = Packetise(macroblocks);
  EXPECT_EQ(Deliver(frame, 0, kHeaderBytes + ULONG(macroblocks.size()) - 1), good);
  // One packet fewer than the macroblocks need.
  CameraFrame shortFrame = Packetise(macroblocks);
  --shortFrame.packets;
  shortFrame.received -= kPayload;
  EXPECT_EQ(Deliver(shortFrame), good);
}

TEST_F(RawFrames, RawFramesAtTheTwoSmallestWidthsGiveAnAllZeroPicture) {
  const CameraFrame frame = Packetise(std::vector<UCHAR>(160 * 120 * 3 / 2, 0x11));
  for (ULONG format : {kI420, kRgb24}) {
    Start(160, 120, 176, 144, format, kRaw);
    Deliver(frame);
    EXPECT_EQ(Deliver(frame), std::vector<UCHAR>(OutputSize(), 0));
  }
}

TEST_F(RawFrames, CodedBytesBeyondTheClientBufferOrTheDeliveredDataAreNotUsed) {
  const std::vector<UCHAR> coded = Encode(160, 120, 10);
  Start(160, 120, 160, 120, kI420);
  Deliver(Packetise({}));
  const std::vector<UCHAR> good = Deliver(Packetise(coded));
  const ULONG size = 160 * 120 * 3 / 2;

  // Thirty packets more than the data: the coded count exceeds the client's buffer.
  const CameraFrame padded = Packetise(coded, 30);
  ASSERT_GT(padded.received - kHeaderBytes, size);
  EXPECT_EQ(Deliver(Packetise(Encode(160, 120, 11), 30)), good);
  EXPECT_EQ(bytes_, size);

  // More packets counted than bytes arrived.
  const CameraFrame frame = Packetise(Encode(160, 120, 12));
  EXPECT_EQ(Deliver(frame, 0, frame.received - 1), good);

  // The decoder's read-ahead must fit behind the staged data too.
  const CameraFrame large = Packetise(Encode(160, 120, 12), 30);
  const ULONG count = large.received - kHeaderBytes;
  EXPECT_EQ(Deliver(large, count + 4), good);
  EXPECT_EQ(Deliver(large, count + 5), Decoded(Encode(160, 120, 12), 160, 120));
}

TEST_F(RawFrames, AClientBufferSmallerThanThePictureGetsNothing) {
  Start(160, 120, 160, 120, kI420);
  const std::vector<UCHAR> out = Deliver(Packetise({}), 160 * 120);
  EXPECT_EQ(bytes_, 0u);
  EXPECT_EQ(ctx()->FirstFrameDone, 0);
}

TEST_F(RawFrames, OtherOutputFormatsAreLeftAloneButStillCounted) {
  Start(160, 120, 160, 120, 0x32595559 /* YUY2 */);
  Deliver(Packetise({}));
  std::vector<UCHAR> buffer(160 * 120 * 2, 0x77);
  ULONG bytes = 1234;
  const CameraFrame frame = Packetise(Encode(160, 120, 13));
  std::vector<UCHAR> raw = frame.raw;
  MarkFrameValid(ctx());
  ProcessRawFrame(nullptr, ctx(), nullptr, buffer.data(), ULONG(buffer.size()), raw.data(),
                  ULONG(raw.size()), frame.packets, &bytes, frame.received, 0);
  EXPECT_EQ(bytes, 1234u);
  EXPECT_EQ(buffer, std::vector<UCHAR>(buffer.size(), 0x77));
  EXPECT_EQ(ctx()->GoodFrameCount, 1);
}

TEST_F(RawFrames, TheCancelPathWritesNothingAndChangesNoState) {
  Start(160, 120, 160, 120, kI420);
  MarkFrameDamaged(ctx());
  EXPECT_EQ(ProcessRawFrame(nullptr, ctx(), nullptr, nullptr, 0, nullptr, 0, 0, nullptr, 0, 0),
            STATUS_SUCCESS);
  EXPECT_EQ(ProcessRawFrameBasic(nullptr, ctx(), nullptr, nullptr, 0, nullptr, 0, 0, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(ctx()->FirstFrameDone, 0);
  EXPECT_FALSE(IsFrameValid(ctx()));
  EXPECT_EQ(ctx()->GoodFrameCount, 0);
}

TEST_F(RawFrames, TheBasicFormCountsTheWholeRawBufferAsReceived) {
  const std::vector<UCHAR> coded = Encode(160, 120, 14);
  Start(160, 120, 160, 120, kI420);
  Deliver(Packetise({}));
  CameraFrame frame = Packetise(coded);
  std::vector<UCHAR> out(160 * 120 * 3 / 2);
  ULONG bytes = 0;
  EXPECT_EQ(ProcessRawFrameBasic(nullptr, ctx(), nullptr, out.data(), ULONG(out.size()),
                                 frame.raw.data(), frame.received, frame.packets, &bytes),
            STATUS_SUCCESS);
  EXPECT_EQ(out, Decoded(coded, 160, 120));
}

// Capture and still frames finish in different work items; with real threads
// and one camera, every picture must still be the one its frame holds.
TEST(RawFrameLock, FramesOfTwoStreamsDoNotMixInTheSharedWorkBuffers) {
  veltocam::host::ResetPlatform(veltocam::host::SchedulerMode::RealTime);
  {
    ConfiguredCamera camera;
    DeviceContext* ctx = camera.ctx();
    camera.Stream(320, 240, 320, 240);
    ctx->OutputCompression = kI420;
    ctx->ImageType = kCompressed;
    ctx->PropertyByteOffset = kHeaderBytes;
    ctx->MaxPacketSize = kPacketSize;
    ctx->QTableIndex = 3;
    ctx->FirstFrameDone = 1;
    ctx->GoodFrameCount = 100;
    const std::vector<UCHAR> coded[2] = {Encode(320, 240, 20), Encode(320, 240, 21)};
    const std::vector<UCHAR> expected[2] = {Decoded(coded[0], 320, 240),
                                            Decoded(coded[1], 320, 240)};
    int mismatches[2] = {0, 0};
    auto stream = [&](int s) {
      const CameraFrame frame = Packetise(coded[s]);
      std::vector<UCHAR> raw = frame.raw;
      std::vector<UCHAR> out(320 * 240 * 3 / 2);
      for (int i = 0; i < 40; ++i) {
        ULONG bytes = 0;
        MarkFrameValid(ctx);
        ProcessRawFrame(nullptr, ctx, nullptr, out.data(), ULONG(out.size()), raw.data(),
                        ULONG(raw.size()), frame.packets, &bytes, frame.received, ULONG(s));
        if (out != expected[s]) ++mismatches[s];
      }
    };
    std::thread other(stream, 1);
    stream(0);
    other.join();
    EXPECT_EQ(mismatches[0], 0);
    EXPECT_EQ(mismatches[1], 0);
  }
  veltocam::host::ResetPlatform();
}

}  // namespace
