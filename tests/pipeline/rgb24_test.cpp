// 4:2:0 to RGB24: the formula's corner values, the bottom-up row order, and the
// vector forms held byte for byte against the plain converter.
#include "pipeline/rgb24.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "configured_camera.h"
#include "pipeline/simd_level.h"

namespace {

using veltocam::test::ConfiguredCamera;
using veltocam::test::NoisyPicture;

std::vector<UCHAR> Uniform(ULONG w, ULONG h, UCHAR y, UCHAR u, UCHAR v) {
  std::vector<UCHAR> picture(w * h, y);
  picture.resize(w * h * 5 / 4, u);
  picture.resize(w * h * 3 / 2, v);
  return picture;
}

class Rgb24 : public testing::Test {
 protected:
  std::vector<UCHAR> Plain(ULONG w, ULONG h, const std::vector<UCHAR>& picture) {
    ctx()->RealImageWidth = w;
    ctx()->RealImageHeight = h;
    std::vector<UCHAR> out(w * h * 3, 0xEE);
    ConvertYuv420ToRgb24(ctx(), picture.data(), out.data());
    return out;
  }
  DeviceContext* ctx() { return camera_.ctx(); }
  ConfiguredCamera camera_;
};

TEST_F(Rgb24, BlackWhiteAndAClampedRed) {
  EXPECT_EQ(Plain(16, 2, Uniform(16, 2, 0, 128, 128)), std::vector<UCHAR>(96, 0));
  EXPECT_EQ(Plain(16, 2, Uniform(16, 2, 255, 128, 128)), std::vector<UCHAR>(96, 255));
  // V' = 127: R = 305 clamps to 255, G = (131072 - 92837) >> 10 = 37, B = 128.
  const std::vector<UCHAR> red = Plain(16, 2, Uniform(16, 2, 128, 128, 255));
  EXPECT_EQ(std::vector<UCHAR>(red.begin(), red.begin() + 3), (std::vector<UCHAR>{128, 37, 255}));
}

TEST_F(Rgb24, WritesThePicturesBottomRowFirst) {
  std::vector<UCHAR> picture = Uniform(16, 4, 0, 128, 128);
  std::fill(picture.begin() + 3 * 16, picture.begin() + 4 * 16, 200);  // the bottom row
  const std::vector<UCHAR> out = Plain(16, 4, picture);
  EXPECT_EQ(std::vector<UCHAR>(out.begin(), out.begin() + 48), std::vector<UCHAR>(48, 200));
  EXPECT_EQ(std::vector<UCHAR>(out.begin() + 48, out.end()), std::vector<UCHAR>(144, 0));
}

TEST_F(Rgb24, RefusesOddSizesInsteadOfReadingPastTheChromaPlanes) {
  const std::vector<UCHAR> picture = NoisyPicture(16, 4);
  EXPECT_EQ(Plain(15, 4, picture), std::vector<UCHAR>(15 * 4 * 3, 0xEE));
  EXPECT_EQ(Plain(16, 3, picture), std::vector<UCHAR>(16 * 3 * 3, 0xEE));
}

// Every vector form on every output width (and widths that leave tails for
// each vector size), against the plain converter, source left as it was.
TEST_F(Rgb24, VectorFormsMatchThePlainConverterByteForByte) {
  const std::pair<ULONG, ULONG> sizes[] = {{640, 480}, {352, 288}, {320, 240}, {176, 144},
                                           {160, 120}, {2, 2},     {18, 6},    {50, 4}};
  for (auto [w, h] : sizes) {
    const std::vector<UCHAR> picture = NoisyPicture(w, h, w + h);
    const std::vector<UCHAR> expected = Plain(w, h, picture);
    for (SimdLevel level : {SimdLevel::Plain, SimdLevel::Ssse3, SimdLevel::Avx2}) {
      std::vector<UCHAR> source = picture;
      std::vector<UCHAR> out(w * h * 3 + 32, 0xEE);
      ConvertYuv420ToRgb24Using(level, w, h, source.data(), out.data());
      EXPECT_TRUE(std::equal(expected.begin(), expected.end(), out.begin()))
          << w << "x" << h << " level " << static_cast<int>(level);
      EXPECT_EQ(std::vector<UCHAR>(out.end() - 32, out.end()), std::vector<UCHAR>(32, 0xEE));
      EXPECT_EQ(source, picture);
    }
  }
}

// Each (U, V) pair once per 2x2 block of a 512 x 512 picture, luma swept over
// four passes: every chroma pair meets 16 luma values, the extremes included.
TEST_F(Rgb24, VectorFormsMatchForEveryChromaPair) {
  const ULONG w = 512, h = 512;
  std::vector<UCHAR> picture(w * h * 3 / 2);
  UCHAR* u = picture.data() + w * h;
  UCHAR* v = u + w * h / 4;
  for (ULONG i = 0; i < w * h / 4; ++i) {
    u[i] = static_cast<UCHAR>(i & 0xFF);
    v[i] = static_cast<UCHAR>(i >> 8);
  }
  for (int pass = 0; pass < 4; ++pass) {
    for (ULONG r = 0; r < h; ++r) {
      for (ULONG x = 0; x < w; ++x) {
        const ULONG corner = (r % 2) * 2 + x % 2;
        picture[r * w + x] = static_cast<UCHAR>(corner * 64 + pass * 21 + (r * 5 + x) % 3);
      }
    }
    picture[0] = 0;
    picture[1] = 255;
    const std::vector<UCHAR> expected = Plain(w, h, picture);
    for (SimdLevel level : {SimdLevel::Ssse3, SimdLevel::Avx2}) {
      std::vector<UCHAR> out(w * h * 3);
      ConvertYuv420ToRgb24Using(level, w, h, picture.data(), out.data());
      ASSERT_EQ(out, expected) << "pass " << pass << " level " << static_cast<int>(level);
    }
  }
}

TEST_F(Rgb24, TheMmxChoiceGivesThePlainResult) {
  const std::vector<UCHAR> picture = NoisyPicture(176, 144);
  const std::vector<UCHAR> expected = Plain(176, 144, picture);
  std::vector<UCHAR> out(expected.size());
  ConvertYuv420ToRgb24Mmx(ctx(), picture.data(), out.data());
  EXPECT_EQ(out, expected);
}

}  // namespace
