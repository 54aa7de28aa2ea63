// Proof against an independent codec: frames that libjpeg-turbo codes as
// baseline JPEG, stripped to the camera's format, decode to libjpeg-turbo's own
// coefficients exactly and to its ISLOW samples within 1.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <tuple>

#include "codec_test_util.h"
#include "jpeg_reference.h"

namespace veltocam::codec::testing {
namespace {

struct Size {
  int width, height;
};

const sim::PlanarImage& Picture(Size size) {
  static std::map<std::pair<int, int>, sim::PlanarImage> pictures;
  auto [it, added] = pictures.try_emplace({size.width, size.height});
  if (added) it->second = sim::MakeTestPicture(size.width, size.height, Sampling::k420, 11);
  return it->second;
}

class LibjpegConformance : public ::testing::TestWithParam<std::tuple<Size, int>> {};

TEST_P(LibjpegConformance, CoefficientsExactAndSamplesWithinOne) {
  const auto [size, qtable_index] = GetParam();
  const sim::PlanarImage& picture = Picture(size);
  const std::vector<std::uint8_t> jpeg = EncodeJpeg420(picture, SelectQuantPair(qtable_index));
  const std::vector<std::uint8_t> frame = StripToCameraFormat(jpeg);
  const std::vector<std::uint8_t> data = WithSlack(frame);
  const auto length = static_cast<std::int32_t>(frame.size());

  // (a) Entropy decoding: every block of every macroblock, padding included.
  const JpegCoefficients expected = ReadDequantisedCoefficients(jpeg);
  MacroblockDecoder decoder(data.data(), length, SelectQuantPair(qtable_index), Sampling::k420);
  const int columns = size.width / 16, rows = (size.height + 15) / 16;
  for (int my = 0; my < rows; ++my) {
    for (int mx = 0; mx < columns; ++mx) {
      alignas(32) CoefficientBlock blocks[kMaxBlocksPerMacroblock] = {};
      bool has_ac[kMaxBlocksPerMacroblock];
      ASSERT_TRUE(decoder.Decode(blocks, has_ac)) << "macroblock " << mx << "," << my;
      for (int b = 0; b < 6; ++b) {
        const int c = b < 4 ? 0 : b - 3;
        const int bx = c == 0 ? 2 * mx + (b & 1) : mx, by = c == 0 ? 2 * my + (b >> 1) : my;
        const auto& reference = expected.blocks[c][by * expected.blocks_per_row[c] + bx];
        for (int i = 0; i < 64; ++i) {
          ASSERT_EQ(blocks[b][ColumnMajor(i)], reference[i])
              << "macroblock " << mx << "," << my << " block " << b << " coefficient " << i;
        }
      }
    }
  }

  // (b) Samples against libjpeg-turbo's ISLOW transform.
  const Decoded ours =
      DecodePlanar(data, length, size.width, size.height, qtable_index, Sampling::k420);
  ASSERT_EQ(ours.status, CODEC_OK);
  sim::PlanarImage theirs(size.width, size.height, Sampling::k420);
  JpegRawDecoder reference;
  reference.Decode(jpeg, theirs);
  sim::PlanarImage decoded(size.width, size.height, Sampling::k420);
  decoded.pixels = ours.pixels;
  for (int p = 0; p < 3; ++p) {
    const std::uint8_t* a = decoded.plane(p);
    const std::uint8_t* b = theirs.plane(p);
    int worst = 0;
    for (int i = 0; i < decoded.plane_width(p) * decoded.plane_height(p); ++i) {
      worst = std::max(worst, std::abs(a[i] - b[i]));
    }
    EXPECT_LE(worst, 1) << "plane " << p;
    EXPECT_GT(sim::PlanePsnr(decoded, theirs, p), 54.0) << "plane " << p;
  }
}

std::string CaseName(const ::testing::TestParamInfo<std::tuple<Size, int>>& info) {
  const auto [size, qtable_index] = info.param;
  return std::to_string(size.width) + "x" + std::to_string(size.height) + "_" +
         (qtable_index < 10 ? "pair" + std::to_string(qtable_index) : std::string("custom"));
}

// 120 rows leave the last macroblock row half outside the picture.
INSTANTIATE_TEST_SUITE_P(AllPairsAndSizes, LibjpegConformance,
                         ::testing::Combine(::testing::Values(Size{640, 480}, Size{320, 240},
                                                              Size{160, 120}),
                                            ::testing::Range(0, 11)),
                         CaseName);

}  // namespace
}  // namespace veltocam::codec::testing
