// The simulated camera's encoder: its frames decode to the picture it coded.
#include <gtest/gtest.h>

#include "codec_test_util.h"

namespace veltocam::codec::testing {
namespace {

TEST(Encoder, NaturalPictureSurvivesTheRoundTripAtQualityIndexThree) {
  for (Sampling sampling : {Sampling::k420, Sampling::k422}) {
    const sim::PlanarImage picture = sim::MakeTestPicture(320, 240, sampling, 21);
    const auto frame = sim::EncodeFrame(picture, 3);
    const Decoded decoded = DecodePlanar(WithSlack(frame), static_cast<std::int32_t>(frame.size()),
                                         320, 240, 3, sampling);
    ASSERT_EQ(decoded.status, CODEC_OK);
    sim::PlanarImage result(320, 240, sampling);
    result.pixels = decoded.pixels;
    EXPECT_GE(sim::PlanePsnr(result, picture, 0), 36.0);
    EXPECT_GE(sim::PlanePsnr(result, picture, 1), 36.0);
    EXPECT_GE(sim::PlanePsnr(result, picture, 2), 36.0);
  }
}

TEST(Encoder, CoarserPairsCodeSmallerFrames) {
  const sim::PlanarImage picture = sim::MakeTestPicture(160, 120, Sampling::k420, 3);
  // Qualities 40, 50, 70, 85, 95.
  std::size_t previous = 0;
  for (int qtable : {9, 0, 1, 3, 7}) {
    const std::size_t size = sim::EncodeFrame(picture, qtable).size();
    EXPECT_GT(size, previous) << qtable;
    previous = size;
  }
}

TEST(Encoder, BitWriterPadsWithOnes) {
  sim::BitWriter writer;
  writer.Put(0x2, 3);  // 010
  writer.Put(0x0, 6);
  EXPECT_EQ(writer.bit_count(), 9u);
  EXPECT_EQ(writer.Finish(), (std::vector<std::uint8_t>{0x40, 0x7F}));
}

}  // namespace
}  // namespace veltocam::codec::testing
