// The keep/repeat maps, the scaler in each of its forms, the VGA placement
// and the raw macroblock reorder.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "configured_camera.h"
#include "pipeline/simd_level.h"
#include "platform/host/trace.h"

namespace {

using veltocam::test::ConfiguredCamera;
using veltocam::test::NoisyPicture;

struct Size {
  ULONG width;
  ULONG height;
};

std::vector<UCHAR> Map(const UCHAR* map, USHORT length) {
  return {map, map + length};
}

std::vector<UCHAR> Repeat(std::vector<UCHAR> pattern, int times) {
  std::vector<UCHAR> out;
  for (int i = 0; i < times; ++i) out.insert(out.end(), pattern.begin(), pattern.end());
  return out;
}

int Ones(const std::vector<UCHAR>& map) {
  int ones = 0;
  for (UCHAR entry : map) ones += entry;
  return ones;
}

TEST(ScaleMaps, FollowTheExamplesForEveryStreamedSizePair) {
  ConfiguredCamera camera;
  DeviceContext* ctx = camera.ctx();

  camera.Stream(160, 120, 176, 144);
  EXPECT_EQ(Map(ctx->p_ucScale_V_Buf_Y, ctx->wScale_V_BufLen_Y), Repeat({1, 1, 1, 1, 1, 0}, 24));
  EXPECT_EQ(Map(ctx->p_ucScale_H_Buf_Y, ctx->wScale_H_BufLen_Y),
            Repeat({1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0}, 16));
  EXPECT_EQ(ctx->wScale_V_BufLen_UV, 72);
  EXPECT_EQ(Ones(Map(ctx->p_ucScale_V_Buf_UV, 72)), 60);
  EXPECT_EQ(ctx->wScale_H_BufLen_UV, 88);
  EXPECT_EQ(Ones(Map(ctx->p_ucScale_H_Buf_UV, 88)), 80);

  camera.Stream(640, 480, 352, 288);
  EXPECT_EQ(Map(ctx->p_ucScale_V_Buf_Y, ctx->wScale_V_BufLen_Y), Repeat({1, 1, 0, 1, 0}, 96));
  EXPECT_EQ(ctx->wScale_H_BufLen_Y, 640);
  EXPECT_EQ(Ones(Map(ctx->p_ucScale_H_Buf_Y, 640)), 352);
  EXPECT_EQ(Ones(Map(ctx->p_ucScale_H_Buf_UV, ctx->wScale_H_BufLen_UV)), 176);
  EXPECT_EQ(Ones(Map(ctx->p_ucScale_V_Buf_UV, ctx->wScale_V_BufLen_UV)), 144);

  camera.Stream(320, 240, 160, 120);
  EXPECT_EQ(Map(ctx->p_ucScale_V_Buf_Y, ctx->wScale_V_BufLen_Y), Repeat({1, 0}, 120));
  EXPECT_EQ(Ones(Map(ctx->p_ucScale_H_Buf_Y, ctx->wScale_H_BufLen_Y)), 160);
}

TEST(ScaleMaps, LeaveEqualAxesAloneAndDropTheOddChromaRemainder) {
  ConfiguredCamera camera;
  DeviceContext* ctx = camera.ctx();
  std::memset(ctx->p_ucScale_V_Buf_Y, 0xEE, kScaleMapSize);
  camera.Stream(160, 120, 175, 120);
  EXPECT_EQ(ctx->wScale_V_BufLen_Y, 120);
  EXPECT_EQ(Map(ctx->p_ucScale_V_Buf_Y, 120), std::vector<UCHAR>(120, 0xEE));
  // 15 columns more: the chroma map spreads 7 repeats over 87 entries.
  EXPECT_EQ(ctx->wScale_H_BufLen_UV, 87);
  EXPECT_EQ(Ones(Map(ctx->p_ucScale_H_Buf_UV, 87)), 87 - 7);
}

TEST(ScaleMaps, TraceTheirSizesAndCountsOnlyWhenAsked) {
  ConfiguredCamera camera;
  veltocam::host::TraceCapture trace;
  DebugMessage = 0;
  camera.Stream(160, 120, 176, 144);
  EXPECT_TRUE(trace.Lines().empty());

  DebugMessage = 1;
  camera.Stream(160, 120, 176, 144);
  DebugMessage = 0;
  EXPECT_EQ(trace.Lines(), (std::vector<std::string>{
                               "#### videoContext->ImageHeight         = 144",
                               "#### deviceContext->SensorImageHeight  = 120",
                               "#### deviceContext->wScale_V_BufLen_Y  = 144",
                               "#### deviceContext->wScale_V_BufLen_UV = 72",
                               "#### videoContext->ImageWidth         = 176",
                               "#### deviceContext->SensorImageWidth  = 160",
                               "#### deviceContext->wScale_H_BufLen_Y  = 176",
                               "#### deviceContext->wScale_H_BufLen_UV = 88",
                               "p_ucScale_V_Buf_Y = 120",
                               "p_ucScale_V_Buf_UV = 60",
                               "p_ucScale_H_Buf_Y = 160",
                               "p_ucScale_H_Buf_UV = 80",
                           }));
}

// A picture whose every sample names its own row (rows) or column (columns),
// so the scaled picture shows where each of its lines came from.
std::vector<UCHAR> NumberedPicture(ULONG width, ULONG height, bool rows) {
  std::vector<UCHAR> picture(static_cast<size_t>(width) * height * 3 / 2);
  auto fill = [&](UCHAR* plane, ULONG w, ULONG h) {
    for (ULONG r = 0; r < h; ++r) {
      for (ULONG c = 0; c < w; ++c) plane[r * w + c] = static_cast<UCHAR>(rows ? r : c);
    }
  };
  fill(picture.data(), width, height);
  fill(picture.data() + width * height, width / 2, height / 2);
  return picture;
}

std::vector<int> FirstLines(const std::vector<UCHAR>& out, ULONG width, bool rows, int count) {
  std::vector<int> lines;
  for (int i = 0; i < count; ++i) lines.push_back(out[rows ? i * width : i]);
  return lines;
}

TEST(Scaler, TakesEachLineTheMapsName) {
  struct Case {
    Size sensor, output;
    std::vector<int> rows, columns;  // sources of the first destination rows and columns
  };
  const Case cases[] = {
      // Enlarging repeats the line before every 0 entry.
      {{160, 120},
       {176, 144},
       {0, 1, 2, 3, 4, 4, 5, 6, 7, 8, 9, 9},
       {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 9, 10}},
      // Reducing skips the line of every 0 entry.
      {{640, 480}, {352, 288}, {0, 1, 3, 5, 6, 8, 10, 11}, {0, 1, 3, 5, 7, 9, 10, 12}},
      {{320, 240}, {160, 120}, {0, 2, 4, 6, 8, 10}, {0, 2, 4, 6, 8, 10}},
      {{320, 240}, {320, 240}, {0, 1, 2, 3}, {0, 1, 2, 3}},
  };
  ConfiguredCamera camera;
  DeviceContext* ctx = camera.ctx();
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.sensor.width) + " to " + std::to_string(c.output.width));
    camera.Stream(c.sensor.width, c.sensor.height, c.output.width, c.output.height);
    for (bool rows : {true, false}) {
      const std::vector<UCHAR> picture = NumberedPicture(c.sensor.width, c.sensor.height, rows);
      std::vector<UCHAR> out(ctx->Yuv420FrameSize);
      ASSERT_EQ(
          ScaleYuv420Using(SimdLevel::Plain, ctx, out.data(), ctx->Yuv420FrameSize, picture.data()),
          ctx->Yuv420FrameSize);
      const std::vector<int>& expected = rows ? c.rows : c.columns;
      EXPECT_EQ(FirstLines(out, c.output.width, rows, static_cast<int>(expected.size())), expected);
    }
  }
}

TEST(Scaler, EveryFastFormGivesThePlainFormsBytesForEverySensorAndOutputSize) {
  const Size sensors[] = {{640, 480}, {320, 240}, {160, 120}, {320, 480}};
  const Size outputs[] = {{640, 480}, {352, 288}, {320, 240}, {176, 144}, {160, 120}};
  ConfiguredCamera camera;
  DeviceContext* ctx = camera.ctx();
  for (Size sensor : sensors) {
    const std::vector<UCHAR> picture = NoisyPicture(sensor.width, sensor.height);
    for (Size output : outputs) {
      SCOPED_TRACE(std::to_string(sensor.width) + "x" + std::to_string(sensor.height) + " to " +
                   std::to_string(output.width) + "x" + std::to_string(output.height));
      camera.Stream(sensor.width, sensor.height, output.width, output.height);
      std::vector<UCHAR> plain(ctx->Yuv420FrameSize);
      ASSERT_EQ(ScaleYuv420Using(SimdLevel::Plain, ctx, plain.data(), ctx->Yuv420FrameSize,
                                 picture.data()),
                ctx->Yuv420FrameSize);
      for (SimdLevel level : {SimdLevel::Ssse3, SimdLevel::Avx2}) {
        // A canary past the picture shows the scaler stops at its end.
        std::vector<UCHAR> out(plain.size() + 64, 0x5A);
        ASSERT_EQ(ScaleYuv420Using(level, ctx, out.data(), ctx->Yuv420FrameSize, picture.data()),
                  ctx->Yuv420FrameSize);
        EXPECT_TRUE(std::equal(plain.begin(), plain.end(), out.begin()))
            << "level " << static_cast<int>(level);
        EXPECT_EQ(std::vector<UCHAR>(out.begin() + plain.size(), out.end()),
                  std::vector<UCHAR>(64, 0x5A));
      }
    }
  }
}

TEST(Scaler, RefusesMapsBuiltForOtherSizesAndDestinationsTooSmall) {
  ConfiguredCamera camera;
  DeviceContext* ctx = camera.ctx();
  camera.Stream(640, 480, 352, 288);
  const std::vector<UCHAR> picture = NoisyPicture(640, 480);
  std::vector<UCHAR> out(640 * 480 * 3 / 2, 0x5A);
  EXPECT_EQ(ScaleYuv420(ctx, out.data(), ctx->Yuv420FrameSize - 1, picture.data()), 0u);

  ctx->ImageWidth = ctx->RealImageWidth = 320;  // the maps still describe 352 columns
  EXPECT_EQ(ScaleYuv420(ctx, out.data(), ULONG(out.size()), picture.data()), 0u);
  ctx->SensorImageWidth = 1280;
  ctx->ImageWidth = 1280;
  EXPECT_EQ(ScaleYuv420(ctx, out.data(), ULONG(out.size()), picture.data()), 0u);
  EXPECT_EQ(out, std::vector<UCHAR>(out.size(), 0x5A));
}

TEST(PlaceVgaImage, CopiesAFullSensorImageAndPadsASmallerOneWithGrey) {
  ConfiguredCamera camera;
  DeviceContext* ctx = camera.ctx();
  camera.Stream(640, 480, 640, 480);
  std::vector<UCHAR> picture = NoisyPicture(640, 480);
  std::memcpy(ctx->RawImageBuffer, picture.data(), picture.size());
  std::vector<UCHAR> out(picture.size() + 16, 0x11);
  EXPECT_EQ(PlaceVgaImage(ctx, out.data(), ctx->Yuv420FrameSize), ctx->Yuv420FrameSize);
  EXPECT_TRUE(std::equal(picture.begin(), picture.end(), out.begin()));
  EXPECT_EQ(out.back(), 0x11);

  ctx->SensorImageWidth = 320;
  ctx->SensorImageHeight = 240;
  picture = NoisyPicture(320, 240, 7);
  std::memcpy(ctx->RawImageBuffer, picture.data(), picture.size());
  EXPECT_EQ(PlaceVgaImage(ctx, out.data(), ctx->Yuv420FrameSize), ctx->Yuv420FrameSize);
  auto at = [&](ULONG plane, ULONG x, ULONG y) {
    const ULONG w = plane == 0 ? 640 : 320;
    const ULONG offset = plane == 0 ? 0 : plane == 1 ? 640 * 480 : 640 * 480 * 5 / 4;
    return out[offset + y * w + x];
  };
  auto in = [&](ULONG plane, ULONG x, ULONG y) {
    const ULONG w = plane == 0 ? 320 : 160;
    const ULONG offset = plane == 0 ? 0 : plane == 1 ? 320 * 240 : 320 * 240 * 5 / 4;
    return picture[offset + y * w + x];
  };
  for (ULONG plane = 0; plane < 3; ++plane) {
    const ULONG shift = plane == 0 ? 0 : 1;
    EXPECT_EQ(at(plane, 0, 0), in(plane, 0, 0));
    EXPECT_EQ(at(plane, (320 >> shift) - 1, (240 >> shift) - 1),
              in(plane, (320 >> shift) - 1, (240 >> shift) - 1));
    EXPECT_EQ(at(plane, 320 >> shift, 0), 0x80);
    EXPECT_EQ(at(plane, 0, 240 >> shift), 0x80);
    EXPECT_EQ(at(plane, (640 >> shift) - 1, (480 >> shift) - 1), 0x80);
  }
}

TEST(PlaceVgaImage, ClipsASensorImageLargerThanThePicture) {
  ConfiguredCamera camera;
  DeviceContext* ctx = camera.ctx();
  camera.Stream(640, 480, 320, 240);
  const std::vector<UCHAR> picture = NoisyPicture(640, 480);
  std::memcpy(ctx->RawImageBuffer, picture.data(), picture.size());
  std::vector<UCHAR> out(320 * 240 * 3 / 2 + 8, 0x11);
  EXPECT_EQ(PlaceVgaImage(ctx, out.data(), ctx->Yuv420FrameSize), ctx->Yuv420FrameSize);
  EXPECT_EQ(out[319], picture[319]);
  EXPECT_EQ(out[320], picture[640]);  // the second row starts a sensor row later
  EXPECT_EQ(std::vector<UCHAR>(out.end() - 8, out.end()), std::vector<UCHAR>(8, 0x11));
}

// The camera's raw layout made from a planar picture: 16x16 macroblocks in
// raster order, four Y blocks then U then V, samples with the top bit flipped.
std::vector<UCHAR> RawMacroblocks(const std::vector<UCHAR>& picture, ULONG w, ULONG h) {
  std::vector<UCHAR> raw;
  const UCHAR* u = picture.data() + w * h;
  const UCHAR* v = u + (w / 2) * (h / 2);
  auto block = [&](const UCHAR* plane, ULONG pw, ULONG ph, ULONG x, ULONG y) {
    for (ULONG r = 0; r < 8; ++r) {
      for (ULONG c = 0; c < 8; ++c) {
        const bool inside = x + c < pw && y + r < ph;
        raw.push_back(static_cast<UCHAR>((inside ? plane[(y + r) * pw + x + c] : 0x33) ^ 0x80));
      }
    }
  };
  for (ULONG y = 0; y < (h + 15) / 16 * 16; y += 16) {
    for (ULONG x = 0; x < w; x += 16) {
      block(picture.data(), w, h, x, y);
      block(picture.data(), w, h, x + 8, y);
      block(picture.data(), w, h, x, y + 8);
      block(picture.data(), w, h, x + 8, y + 8);
      block(u, w / 2, h / 2, x / 2, y / 2);
      block(v, w / 2, h / 2, x / 2, y / 2);
    }
  }
  return raw;
}

TEST(ReorderRawMacroblocks, RebuildsThePlanarPictureFromItsMacroblocks) {
  const std::vector<UCHAR> picture = NoisyPicture(320, 240);
  const std::vector<UCHAR> raw = RawMacroblocks(picture, 320, 240);
  ASSERT_EQ(raw.size(), 300u * 384);
  EXPECT_EQ(RawMacroblockFrameBytes(320, 240), 115200u);
  std::vector<UCHAR> out(picture.size());
  EXPECT_EQ(ReorderRawMacroblocks(raw.data(), 320, 240, out.data()), 115200u);
  EXPECT_EQ(out, picture);
}

TEST(ReorderRawMacroblocks, ClipsTheLastBandOfAPictureNotAMultipleOf16High) {
  // 160 x 120: 75 macroblocks, the last band half outside the picture. Its
  // overhanging rows must not land on the chroma planes that follow Y.
  const std::vector<UCHAR> picture = NoisyPicture(160, 120);
  std::vector<UCHAR> raw = RawMacroblocks(picture, 160, 120);
  EXPECT_EQ(RawMacroblockFrameBytes(160, 120), 75u * 384);
  std::vector<UCHAR> out(picture.size() + 32, 0x5A);
  EXPECT_EQ(ReorderRawMacroblocks(raw.data(), 160, 120, out.data()), 75u * 384);
  // The 75 macroblocks cover the first 80 columns of the last band.
  for (ULONG y = 0; y < 120; ++y) {
    for (ULONG x = 0; x < (y < 112 ? 160u : 80u); ++x) {
      ASSERT_EQ(out[y * 160 + x], picture[y * 160 + x]) << x << "," << y;
    }
  }
  const ULONG chroma = 160 * 120;
  EXPECT_TRUE(std::equal(picture.begin() + chroma, picture.begin() + chroma + 80 * 56,
                         out.begin() + chroma));
  EXPECT_EQ(std::vector<UCHAR>(out.end() - 32, out.end()), std::vector<UCHAR>(32, 0x5A));
}

}  // namespace
