// The packed and 4:2:2 decoders, the run-time tables, the 5/4 enlargement and
// the planar-to-packed conversion, alone and through the entry's dispatch.
#include <gtest/gtest.h>

#include <memory>

#include "codec/format_tables.h"
#include "codec/idct.h"
#include "codec/runtime_tables.h"
#include "codec_test_util.h"

namespace veltocam::codec::testing {
namespace {

int Clamp(int v) {
  return std::clamp(v, 0, 255);
}

// The packed decoders' colour rule written out here, not read from the
// codec's own tables (integer division truncates toward zero).
int CrToR(int cr) {
  return 1402 * (cr - 128) / 1000;
}
int CbToG(int cb) {
  return 344 * (cb - 128) / 1000;
}
int CrToG(int cr) {
  return 714 * (cr - 128) / 1000;
}
int CbToB(int cb) {
  return 1772 * (cb - 128) / 1000;
}

TEST(DecoderTables, ColourOffsetsAndLimits) {
  const DecoderTables& t = GetDecoderTables();
  EXPECT_EQ(t.cr_to_r[0], -179);
  EXPECT_EQ(t.cr_to_r[255], 178);
  EXPECT_EQ(t.cb_to_b[0], -226);
  EXPECT_EQ(t.cb_to_b[255], 225);
  EXPECT_EQ(t.cb_to_g[0], -44);
  EXPECT_EQ(t.cr_to_g[0], -91);
  for (int v = -300; v < 500; ++v) EXPECT_EQ(LimitSample(t, v), Clamp(v));
  EXPECT_EQ(t.red[255][255], 255);
  EXPECT_EQ(t.red[0][0], 0);
  EXPECT_EQ(t.blue[100][0], 0);
  EXPECT_EQ(t.blue[100][200], 227);  // 100 + 1772 * 72 / 1000
  EXPECT_EQ(t.weight[kWeight292][255], 292 * 255);
  EXPECT_EQ(t.signed_chroma[kCrToRed1436][255], -1436);
  EXPECT_EQ(t.signed_chroma[kCbToBlue1815][127], 127 * 1815);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(t.level[i], i);
  EXPECT_EQ(t.custom_luma_quant[0], 2);  // quality 95: 16 * 10 / 100 rounded
}

TEST(DecoderTables, SearchTablesReproduceAnnexKCodes) {
  const DecoderTables& t = GetDecoderTables();
  const std::vector<int> chroma_first = {-1,  -1,   0,    4,    10, 24,    56,    120,  246,
                                         500, 1014, 2038, 4084, -1, 16352, 32706, 65416};
  const std::vector<int> luma_first = {-1,  -1,   0,    4,    10, 26, 58,    120,  248,
                                       502, 1014, 2038, 4084, -1, -1, 32704, 65410};
  EXPECT_EQ(std::vector<int>(t.chroma_ac.first_code.begin(), t.chroma_ac.first_code.end()),
            chroma_first);
  EXPECT_EQ(std::vector<int>(t.luma_ac.first_code.begin(), t.luma_ac.first_code.end()), luma_first);
  for (const auto& [table, code] :
       {std::pair{&t.luma_ac, &kLumaAcCode}, std::pair{&t.chroma_ac, &kChromaAcCode}}) {
    int total = 0;
    for (int length = 0; length <= 16; ++length) {
      EXPECT_EQ(table->count[length] == -1, table->first_code[length] == -1);
      for (int i = 0; i < table->count[length]; ++i) {
        const int symbol = table->symbols[table->offset[length] + i];
        EXPECT_EQ(code->length[symbol], length);
        EXPECT_EQ(code->code[symbol], table->first_code[length] + i);
        ++total;
      }
    }
    EXPECT_EQ(total, 162);
  }
  EXPECT_EQ(t.chroma_dc.count[2], 3);
  EXPECT_EQ(t.chroma_dc.code[11][0], 0x7FE);
  EXPECT_EQ(t.chroma_dc.category[11][0], 11);
}

TEST(DecoderTables, BuildingAgainGivesTheSameTables) {
  auto first = std::make_unique<DecoderTables>();
  auto second = std::make_unique<DecoderTables>();
  std::memset(second.get(), 0x5A, sizeof(DecoderTables));
  BuildDecoderTables(*first);
  BuildDecoderTables(*second);
  BuildDecoderTables(*second);
  EXPECT_TRUE(*first == *second);
  EXPECT_TRUE(*first == GetDecoderTables());
  EXPECT_EQ(PrepareDecoderTables(), CODEC_OK);
}

struct PackedCase {
  Sampling sampling;
  bool use_stride;
  std::int32_t stride;
  bool bgr;
  bool flip;
};

// Every byte of packed output, including the untouched bytes between rows,
// derived from the planar decode of the same frame.
TEST(PackedDecoders, ColourEachPixelFromItsMacroblockChroma) {
  const int w = 48, h = 32;
  for (const PackedCase& c : {PackedCase{Sampling::k420, false, 0, false, false},
                              PackedCase{Sampling::k420, true, w * 4 + 12, true, true},
                              PackedCase{Sampling::k422, false, 0, true, false},
                              PackedCase{Sampling::k422, true, w * 4, false, true}}) {
    const auto frame = WithSlack(NaturalFrame(w, h, c.sampling, 4));
    const auto length = static_cast<std::int32_t>(frame.size() - kSlack);
    const Decoded planar = DecodePlanar(frame, length, w, h, 4, c.sampling);
    const std::ptrdiff_t stride = c.use_stride ? c.stride : w * 3;
    std::vector<std::uint8_t> packed(static_cast<std::size_t>(stride * h), kUntouched);
    ASSERT_EQ(
        DecodeCompressedFrame(length, frame.data(), w, h, 4, c.sampling == Sampling::k422, 0,
                              c.use_stride, c.stride, c.bgr, c.flip, packed.data(), 0, nullptr),
        CODEC_OK);
    const std::uint8_t* cb_plane = planar.pixels.data() + w * h;
    const int chroma_rows = c.sampling == Sampling::k420 ? h / 2 : h;
    const std::uint8_t* cr_plane = cb_plane + (w / 2) * chroma_rows;
    std::vector<std::uint8_t> expected(packed.size(), kUntouched);
    for (int y = 0; y < h; ++y) {
      const int chroma_y = c.sampling == Sampling::k420 ? y / 2 : y;
      std::uint8_t* row = expected.data() + (c.flip ? h - 1 - y : y) * stride;
      for (int x = 0; x < w; ++x) {
        const int luma = planar.pixels[y * w + x];
        const int cb = cb_plane[chroma_y * (w / 2) + x / 2];
        const int cr = cr_plane[chroma_y * (w / 2) + x / 2];
        const auto red = static_cast<std::uint8_t>(Clamp(luma + CrToR(cr)));
        const auto green = static_cast<std::uint8_t>(Clamp(luma - CbToG(cb) - CrToG(cr)));
        const auto blue = static_cast<std::uint8_t>(Clamp(luma + CbToB(cb)));
        std::uint8_t* pixel = row + x * (c.use_stride ? 4 : 3);
        if (c.use_stride) *pixel++ = 0;
        pixel[0] = c.bgr ? blue : red;
        pixel[1] = green;
        pixel[2] = c.bgr ? red : blue;
      }
    }
    EXPECT_EQ(packed, expected);
  }
}

TEST(PackedDecoders, GreyStaysGrey) {
  for (Sampling sampling : {Sampling::k420, Sampling::k422}) {
    sim::BitWriter writer;
    sim::BlockCoder coder(writer);
    const MacroblockShape& shape = ShapeOf(sampling);
    for (int b = 0; b < shape.blocks * 256 / (16 * shape.height); ++b) {
      const auto component = static_cast<sim::Component>(shape.component[b % shape.blocks]);
      coder.PutDcDifference(component, 0);
      coder.PutEndOfBlock(component);
    }
    const auto frame = writer.Finish();
    const auto data = WithSlack(frame);
    std::vector<std::uint8_t> packed(16 * 16 * 3);
    ASSERT_EQ(
        DecodeCompressedFrame(static_cast<std::int32_t>(frame.size()), data.data(), 16, 16, 0,
                              sampling == Sampling::k422, 0, 0, 0, 0, 0, packed.data(), 0, nullptr),
        CODEC_OK);
    EXPECT_TRUE(std::all_of(packed.begin(), packed.end(), [](std::uint8_t v) { return v == 128; }));
  }
}

// The 4:2:2 decoders store the DC predictor's low 16 bits, sign-extended; the
// 4:2:0 ones the whole predictor.
TEST(Decoder422, KeepsTheLowSixteenBitsOfTheDcPredictor) {
  sim::BitWriter writer;
  sim::BlockCoder coder(writer);
  for (int m = 0; m < 10; ++m) {
    for (int b = 0; b < 2; ++b) {
      coder.PutDcDifference(sim::kY, 2047);
      coder.PutEndOfBlock(sim::kY);
    }
    for (auto c : {sim::kCb, sim::kCr}) {
      coder.PutDcDifference(c, 0);
      coder.PutEndOfBlock(c);
    }
  }
  const auto frame = writer.Finish();
  const Decoded out = DecodePlanar(WithSlack(frame), static_cast<std::int32_t>(frame.size()), 16,
                                   80, 0, Sampling::k422);
  ASSERT_EQ(out.status, CODEC_OK);
  const int q0 = SelectQuantPair(0).luma[0];
  for (int block = 0; block < 20; ++block) {
    const auto predictor = static_cast<std::int16_t>((block + 1) * 2047);
    const std::uint8_t expected = DcOnlySample(predictor * q0);
    EXPECT_EQ(out.pixels[(block / 2) * 8 * 16 + (block % 2) * 8], expected) << block;
  }
  EXPECT_EQ(out.pixels[8 * 8 * 16], 0);  // block 16: 34799 wrapped below zero
}

// The 4-to-5 kernel as written, to hold the enlargers to.
std::array<int, 5> Kernel(int a, int b, int c, int d) {
  const int o1 = Clamp(((178 * b + 77 * a) >> 8) + ((2 * b - c - a) >> 3));
  const int o2 = Clamp(((b + c) >> 1) + ((b + c - a - d) >> 3));
  const int o3 = Clamp(((178 * c + 77 * d) >> 8) + ((2 * c - d - b) >> 3));
  return {Clamp((292 * a - 37 * o1) >> 8), o1, o2, o3, Clamp((292 * d - 37 * o3) >> 8)};
}

std::vector<std::uint8_t> EnlargePlane(const std::uint8_t* plane, int w, int h) {
  std::vector<std::uint8_t> out(static_cast<std::size_t>(w * 5 / 4) * (h * 5 / 4));
  const int ow = w * 5 / 4;
  for (int by = 0; by < h / 4; ++by) {
    for (int bx = 0; bx < w / 4; ++bx) {
      int across[4][5];
      for (int r = 0; r < 4; ++r) {
        const std::uint8_t* s = plane + (by * 4 + r) * w + bx * 4;
        const auto o = Kernel(s[0], s[1], s[2], s[3]);
        std::copy(o.begin(), o.end(), across[r]);
      }
      for (int col = 0; col < 5; ++col) {
        const auto o = Kernel(across[0][col], across[1][col], across[2][col], across[3][col]);
        for (int r = 0; r < 5; ++r)
          out[(by * 5 + r) * ow + bx * 5 + col] = static_cast<std::uint8_t>(o[r]);
      }
    }
  }
  return out;
}

TEST(Enlarge, KernelReferenceValues) {
  EXPECT_EQ(Kernel(100, 100, 100, 100), (std::array<int, 5>{99, 99, 100, 99, 99}));
  EXPECT_EQ(Kernel(0, 255, 0, 255), (std::array<int, 5>{0, 240, 127, 12, 255}));

  // A flat 16 x 16 picture of 100 (chroma too): every 4 x 4 block becomes this.
  std::vector<std::uint8_t> flat(16 * 16 * 3 / 2, 100);
  std::vector<std::uint8_t> big(20 * 20 * 3 / 2, kUntouched);
  ASSERT_EQ(Enlarge420Planar(flat.data(), big.data(), 20, 20), CODEC_OK);
  const std::uint8_t expected[5][5] = {{98, 98, 99, 98, 98},
                                       {98, 98, 99, 98, 98},
                                       {99, 99, 100, 99, 99},
                                       {98, 98, 99, 98, 98},
                                       {98, 98, 99, 98, 98}};
  for (int r = 0; r < 20; ++r) {
    for (int c = 0; c < 20; ++c)
      ASSERT_EQ(big[r * 20 + c], expected[r % 5][c % 5]) << r << "," << c;
  }
  // Chroma planes of 10 x 10 at offsets 400 and 500.
  for (int i = 400; i < 600; ++i) ASSERT_EQ(big[i], expected[(i - 400) % 100 / 10 % 5][i % 10 % 5]);

  std::fill(flat.begin(), flat.end(), 255);
  Enlarge420Planar(flat.data(), big.data(), 20, 20);
  EXPECT_EQ(std::count(big.begin(), big.begin() + 400, 255), 16);  // block centres only
  std::fill(flat.begin(), flat.end(), 0);
  Enlarge420Planar(flat.data(), big.data(), 20, 20);
  EXPECT_EQ(std::count(big.begin(), big.end(), 0), 600);
}

TEST(Enlarge, EveryPlaneOfBothLayouts) {
  std::mt19937 random(9);
  for (Sampling sampling : {Sampling::k420, Sampling::k422}) {
    sim::PlanarImage source(32, 24, sampling);
    for (auto& v : source.pixels) v = static_cast<std::uint8_t>(random());
    sim::PlanarImage big(40, 30, sampling);
    const auto enlarge = sampling == Sampling::k420 ? Enlarge420Planar : Enlarge422Planar;
    ASSERT_EQ(enlarge(source.pixels.data(), big.pixels.data(), 40, 30), CODEC_OK);
    for (int p = 0; p < 3; ++p) {
      const auto expected =
          EnlargePlane(source.plane(p), source.plane_width(p), source.plane_height(p));
      ASSERT_TRUE(std::equal(expected.begin(), expected.end(), big.plane(p))) << p;
    }
  }
}

TEST(Convert, PlanarToPackedColours) {
  std::mt19937 random(5);
  for (Sampling sampling : {Sampling::k420, Sampling::k422}) {
    for (std::uint32_t signed_samples : {0u, 1u}) {
      sim::PlanarImage source(20, 10, sampling);
      for (auto& v : source.pixels) v = static_cast<std::uint8_t>(random());
      const int stride = 20 * 4 + 3;
      std::vector<std::uint8_t> packed(stride * 10, kUntouched);
      const auto convert = sampling == Sampling::k420 ? Convert420ToPacked : Convert422ToPacked;
      ASSERT_EQ(convert(source.pixels.data(), 20, 10, packed.data(), stride, signed_samples, 10,
                        nullptr, 1, 1),
                CODEC_OK);
      for (int y = 0; y < 10; ++y) {
        for (int x = 0; x < 20; ++x) {
          const int cy = sampling == Sampling::k420 ? y / 2 : y;
          int luma = source.plane(0)[y * 20 + x];
          int cb = source.plane(1)[cy * 10 + x / 2];
          int cr = source.plane(2)[cy * 10 + x / 2];
          if (signed_samples) {
            luma ^= 0x80;
            cb = cb < 128 ? cb : cb - 256;  // two's complement bytes
            cr = cr < 128 ? cr : cr - 256;
          } else {
            cb -= 128;
            cr -= 128;
          }
          const std::uint8_t* pixel = packed.data() + y * stride + x * 4;
          ASSERT_EQ(pixel[0], kUntouched);  // the 4-byte pixel's first byte stays
          EXPECT_EQ(pixel[3], Clamp((1024 * luma + 1436 * cr) >> 10));
          EXPECT_EQ(pixel[2], Clamp((1024 * luma - 731 * cr - 352 * cb) >> 10));
          EXPECT_EQ(pixel[1], Clamp((1024 * luma + 1815 * cb) >> 10));
        }
        EXPECT_TRUE(std::all_of(packed.begin() + y * stride + 80, packed.begin() + (y + 1) * stride,
                                [](std::uint8_t v) { return v == kUntouched; }));
      }
    }
  }
  std::vector<std::uint8_t> grey(4 * 2 * 3 / 2, 128), rgb(4 * 2 * 3);
  Convert420ToPacked(grey.data(), 4, 2, rgb.data(), 12, 0, 10, nullptr, 0, 0);
  EXPECT_TRUE(std::all_of(rgb.begin(), rgb.end(), [](std::uint8_t v) { return v == 128; }));
}

// Planar output: decode into the enlarge buffer, enlarge into the output.
// Packed: decode into the output, enlarge into the enlarge buffer, convert back.
TEST(EnlargedDecode, FollowsTheDispatchOfBothOutputForms) {
  for (Sampling sampling : {Sampling::k420, Sampling::k422}) {
    const int w = 32, h = 16, ew = 40, eh = 20;
    const auto frame = WithSlack(NaturalFrame(w, h, sampling, 3));
    const auto length = static_cast<std::int32_t>(frame.size() - kSlack);
    const Decoded planar = DecodePlanar(frame, length, w, h, 3, sampling, true);
    std::vector<std::uint8_t> enlarged(PlanarSize(ew, eh, sampling));
    (sampling == Sampling::k420 ? Enlarge420Planar : Enlarge422Planar)(planar.pixels.data(),
                                                                       enlarged.data(), ew, eh);
    std::vector<std::uint8_t> out(ew * eh * 4, kUntouched), work(ew * eh * 4, kUntouched);
    ASSERT_EQ(DecodeCompressedFrame(length, frame.data(), w, h, 3, sampling == Sampling::k422, 1, 0,
                                    0, 0, 1, out.data(), 0x301, work.data()),
              CODEC_OK);
    EXPECT_TRUE(std::equal(enlarged.begin(), enlarged.end(), out.begin()));
    EXPECT_TRUE(std::equal(planar.pixels.begin(), planar.pixels.end(), work.begin()));

    std::vector<std::uint8_t> expected(ew * 4 * eh, kUntouched);
    (sampling == Sampling::k420 ? Convert420ToPacked : Convert422ToPacked)(
        enlarged.data(), ew, eh, expected.data(), ew * 4, 0, 10, nullptr, 1, 0);
    std::fill(out.begin(), out.end(), kUntouched);
    ASSERT_EQ(DecodeCompressedFrame(length, frame.data(), w, h, 3, sampling == Sampling::k422, 0, 1,
                                    ew * 4, 0, 1, out.data(), 1, work.data()),
              CODEC_OK);
    // The converter leaves each pixel's first byte as the planar decode left it.
    for (std::size_t i = 0; i < expected.size(); ++i) {
      if (i % 4 != 0) {
        ASSERT_EQ(out[i], expected[i]) << i;
      }
    }
  }
}

TEST(EnlargedDecode, AStreamErrorStopsBeforeEnlarging) {
  std::vector<std::uint8_t> out(40 * 20 * 2, kUntouched), work(40 * 20 * 2, kUntouched);
  const auto frame = WithSlack({0x28, 0xA2});
  EXPECT_EQ(DecodeCompressedFrame(2, frame.data(), 32, 16, 3, 0, 1, 0, 0, 0, 0, out.data(), 1,
                                  work.data()),
            CODEC_ERR_STREAM);
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](std::uint8_t v) { return v == kUntouched; }));
}

}  // namespace
}  // namespace veltocam::codec::testing
