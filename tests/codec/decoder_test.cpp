// The 4:2:0 planar decoder's observable behaviour: the bitstream rules, the
// quantisation pairs, flipping, partial macroblock rows, failures, and the
// arguments it refuses.
#include <gtest/gtest.h>

#include <thread>

#include "codec/format_tables.h"
#include "codec/idct.h"
#include "codec_test_util.h"

namespace veltocam::codec::testing {
namespace {

using sim::BlockCoder;
using sim::kCb;
using sim::kCr;
using sim::kY;

// A 4:2:0 macroblock whose blocks carry only DC differences.
void DcOnlyMacroblock(BlockCoder& coder, int y, int cb, int cr) {
  for (int b = 0; b < 4; ++b) {
    coder.PutDcDifference(kY, b == 0 ? y : 0);
    coder.PutEndOfBlock(kY);
  }
  coder.PutDcDifference(kCb, cb);
  coder.PutEndOfBlock(kCb);
  coder.PutDcDifference(kCr, cr);
  coder.PutEndOfBlock(kCr);
}

template <class Build>
std::vector<std::uint8_t> Craft(Build build) {
  sim::BitWriter writer;
  BlockCoder coder(writer);
  build(coder, writer);
  return writer.Finish();
}

bool AllEqual(const std::uint8_t* begin, std::size_t count, std::uint8_t value) {
  return std::all_of(begin, begin + count, [&](std::uint8_t v) { return v == value; });
}

TEST(Decoder, SmallestFramesDecodeToKnownColours) {
  for (int qtable : {0, 3, 7, 10, 45}) {
    const Decoded grey =
        DecodePlanar(WithSlack({0x28, 0xA2, 0x8A, 0x00}), 4, 16, 16, qtable, Sampling::k420);
    ASSERT_EQ(grey.status, CODEC_OK);
    EXPECT_TRUE(AllEqual(grey.pixels.data(), grey.pixels.size(), 128)) << qtable;
  }
  // The Y predictor carries the first block's +1 into the other three.
  const Decoded tinted =
      DecodePlanar(WithSlack({0x5A, 0x28, 0xA2, 0x90, 0x1F}), 5, 16, 16, 0, Sampling::k420);
  ASSERT_EQ(tinted.status, CODEC_OK);
  EXPECT_TRUE(AllEqual(tinted.pixels.data(), 256, 130));
  EXPECT_TRUE(AllEqual(tinted.pixels.data() + 256, 64, 126));
  EXPECT_TRUE(AllEqual(tinted.pixels.data() + 320, 64, 128));
}

TEST(Decoder, CoefficientPositionsFollowRunsZeroRunsAndBlockEnds) {
  // Y0: coefficient at 1, a ZRL, a coefficient (17 places on: 18), then one at
  // 63 with no EOB after it; Y1 must then start on the very next bit.
  const auto frame = Craft([](BlockCoder& coder, sim::BitWriter&) {
    coder.PutDcDifference(kY, 0);
    coder.PutAc(kY, 0, 3);
    coder.PutZeroRun(kY);
    coder.PutAc(kY, 0, -2);
    coder.PutAc(kY, 15, 1);
    coder.PutAc(kY, 15, 1);
    coder.PutAc(kY, 12, 5);  // 18 + 16 + 16 + 13 = 63
    coder.PutDcDifference(kY, 4);
    coder.PutEndOfBlock(kY);
    for (int b = 0; b < 2; ++b) {
      coder.PutDcDifference(kY, 0);
      coder.PutEndOfBlock(kY);
    }
    for (auto c : {kCb, kCr}) {
      coder.PutDcDifference(c, 0);
      coder.PutEndOfBlock(c);
    }
  });
  const auto data = WithSlack(frame);
  const QuantPair& pair = SelectQuantPair(0);
  MacroblockDecoder decoder(data.data(), static_cast<std::int32_t>(frame.size()), pair,
                            Sampling::k420);
  alignas(32) CoefficientBlock blocks[kMaxBlocksPerMacroblock] = {};
  bool has_ac[kMaxBlocksPerMacroblock];
  ASSERT_TRUE(decoder.Decode(blocks, has_ac));
  EXPECT_EQ(blocks[0][ColumnMajor(kZigzag[1])], 3 * pair.luma[kZigzag[1]]);
  EXPECT_EQ(blocks[0][ColumnMajor(kZigzag[18])], -2 * pair.luma[kZigzag[18]]);
  EXPECT_EQ(blocks[0][ColumnMajor(kZigzag[34])], pair.luma[kZigzag[34]]);
  EXPECT_EQ(blocks[0][63], 5 * pair.luma[63]);
  EXPECT_EQ(std::count_if(blocks[0], blocks[0] + 64, [](std::int32_t v) { return v != 0; }), 5);
  EXPECT_EQ(blocks[1][0], 4 * pair.luma[0]);
  EXPECT_EQ(blocks[2][0], 4 * pair.luma[0]);  // predictor carried
  EXPECT_TRUE(has_ac[0]);
  EXPECT_FALSE(has_ac[1]);
}

TEST(Decoder, RunPastTheBlockEndFailsKeepingEarlierMacroblocks) {
  for (bool zero_run : {false, true}) {
    const auto frame = Craft([&](BlockCoder& coder, sim::BitWriter&) {
      DcOnlyMacroblock(coder, 16, 0, 0);
      coder.PutDcDifference(kY, 0);
      coder.PutAc(kY, 15, 1);
      coder.PutAc(kY, 15, 1);
      coder.PutAc(kY, 15, 1);  // at 48
      if (zero_run) {
        coder.PutZeroRun(kY);  // its zeros would reach 65
      } else {
        coder.PutAc(kY, 15, 1);  // would sit at 64
      }
      coder.PutEndOfBlock(kY);
    });
    const Decoded out = DecodePlanar(WithSlack(frame), static_cast<std::int32_t>(frame.size()) + 8,
                                     32, 16, 0, Sampling::k420);
    EXPECT_EQ(out.status, CODEC_ERR_STREAM);
    for (int row = 0; row < 16; ++row) {
      EXPECT_TRUE(AllEqual(out.pixels.data() + row * 32, 16, DcOnlySample(16 * 16))) << row;
      EXPECT_TRUE(AllEqual(out.pixels.data() + row * 32 + 16, 16, kUntouched)) << row;
    }
  }
}

TEST(Decoder, PredictorsRunOnAcrossMacroblocks) {
  const auto frame = Craft([](BlockCoder& coder, sim::BitWriter&) {
    DcOnlyMacroblock(coder, 40, -24, 16);
    DcOnlyMacroblock(coder, 0, 0, 0);  // the same colours again
  });
  const Decoded out = DecodePlanar(WithSlack(frame), static_cast<std::int32_t>(frame.size()), 32,
                                   16, 0, Sampling::k420);
  ASSERT_EQ(out.status, CODEC_OK);
  EXPECT_TRUE(AllEqual(out.pixels.data(), 512, out.pixels[0]));
  EXPECT_NE(out.pixels[0], 128);
  EXPECT_TRUE(AllEqual(out.pixels.data() + 512, 128, out.pixels[512]));
  EXPECT_TRUE(AllEqual(out.pixels.data() + 640, 128, out.pixels[640]));
}

TEST(Decoder, EightLeadingOnesAreLumaCategoryElevenWhateverTheNinthBit) {
  std::vector<std::uint8_t> outputs[2];
  for (std::uint32_t ninth = 0; ninth < 2; ++ninth) {
    const auto frame = Craft([&](BlockCoder& coder, sim::BitWriter& writer) {
      writer.Put(0xFF, 8);
      writer.Put(ninth, 1);
      writer.Put(0x400, 11);  // +1024
      coder.PutEndOfBlock(kY);
      for (int b = 0; b < 3; ++b) {
        coder.PutDcDifference(kY, 0);
        coder.PutEndOfBlock(kY);
      }
      for (auto c : {kCb, kCr}) {
        coder.PutDcDifference(c, 0);
        coder.PutEndOfBlock(c);
      }
    });
    const Decoded out = DecodePlanar(WithSlack(frame), static_cast<std::int32_t>(frame.size()), 16,
                                     16, 0, Sampling::k420);
    ASSERT_EQ(out.status, CODEC_OK);
    outputs[ninth] = out.pixels;
  }
  EXPECT_EQ(outputs[0], outputs[1]);
  EXPECT_EQ(outputs[0][0], DcOnlySample(1024 * 16));
}

TEST(Decoder, CutFramesFailWithoutReadingPastTheSlack) {
  const auto frame = NaturalFrame(64, 48, Sampling::k420, 3);
  const auto full = static_cast<std::int32_t>(frame.size());
  for (std::int32_t length : {full - 40, full - 3, -3, 0, 1}) {
    // Exactly length + 5 readable bytes: a sanitizer build sees any overrun.
    const auto padded = WithSlack(frame);
    std::vector<std::uint8_t> data(padded.begin(),
                                   padded.begin() + std::max<std::int32_t>(0, length + kSlack));
    std::vector<std::uint8_t> output(64 * 48 * 3 / 2);
    EXPECT_EQ(DecodeCompressedFrame(length, data.data(), 64, 48, 3, 0, 1, 0, 0, 0, 0, output.data(),
                                    0, nullptr),
              CODEC_ERR_STREAM)
        << length;
  }
  const Decoded whole = DecodePlanar(WithSlack(frame), full, 64, 48, 3, Sampling::k420);
  EXPECT_EQ(whole.status, CODEC_OK);
}

TEST(Decoder, QuantisationPairsAndTheirAliases) {
  const QuantPair& q85 = SelectQuantPair(3);
  EXPECT_EQ((std::vector<int>(q85.luma.begin(), q85.luma.begin() + 8)),
            (std::vector<int>{5, 3, 3, 5, 7, 12, 15, 18}));
  EXPECT_EQ((std::vector<int>(q85.chroma.begin(), q85.chroma.begin() + 8)),
            (std::vector<int>{5, 5, 7, 14, 30, 30, 30, 30}));
  EXPECT_TRUE(
      std::equal(kBaseLumaQuant.begin(), kBaseLumaQuant.end(), SelectQuantPair(0).luma.begin()));
  EXPECT_TRUE(std::equal(kBaseChromaQuant.begin(), kBaseChromaQuant.end(),
                         SelectQuantPair(40).chroma.begin()));
  for (int i = 0; i < 10; ++i) EXPECT_EQ(&SelectQuantPair(i), &SelectQuantPair(40 + i));
  const QuantPair& custom = SelectQuantPair(10);
  for (int index : {-1, 39, 50, 1000}) EXPECT_EQ(&SelectQuantPair(index), &custom);
  EXPECT_EQ(custom.luma, SelectQuantPair(7).luma);  // quality 95 both
  EXPECT_EQ(custom.chroma, SelectQuantPair(7).chroma);

  const auto frame = WithSlack(NaturalFrame(32, 32, Sampling::k420, 3));
  const auto length = static_cast<std::int32_t>(frame.size() - kSlack);
  EXPECT_EQ(DecodePlanar(frame, length, 32, 32, 43, Sampling::k420).pixels,
            DecodePlanar(frame, length, 32, 32, 3, Sampling::k420).pixels);
  EXPECT_NE(DecodePlanar(frame, length, 32, 32, 50, Sampling::k420).pixels,
            DecodePlanar(frame, length, 32, 32, 3, Sampling::k420).pixels);
}

TEST(Decoder, FlipStoresTheFirstMacroblockRowAtTheBottom) {
  const auto frame = WithSlack(NaturalFrame(32, 48, Sampling::k420, 3));
  const auto length = static_cast<std::int32_t>(frame.size() - kSlack);
  const Decoded upright = DecodePlanar(frame, length, 32, 48, 3, Sampling::k420);
  const Decoded flipped = DecodePlanar(frame, length, 32, 48, 3, Sampling::k420, true);
  const std::uint8_t* planes[2][3] = {
      {upright.pixels.data(), upright.pixels.data() + 1536, upright.pixels.data() + 1920},
      {flipped.pixels.data(), flipped.pixels.data() + 1536, flipped.pixels.data() + 1920}};
  for (int p = 0; p < 3; ++p) {
    const int w = p == 0 ? 32 : 16, h = p == 0 ? 48 : 24;
    for (int r = 0; r < h; ++r) {
      ASSERT_TRUE(std::equal(planes[0][p] + r * w, planes[0][p] + (r + 1) * w,
                             planes[1][p] + (h - 1 - r) * w))
          << "plane " << p << " row " << r;
    }
  }
}

TEST(Decoder, HalfMacroblockRowIsDecodedButNotStored) {
  const sim::PlanarImage picture = sim::MakeTestPicture(160, 120, Sampling::k420, 5);
  const auto frame = sim::EncodeFrame(picture, 3);
  // The exact plane size: a sanitizer build sees any row stored past row 119.
  std::vector<std::uint8_t> output(160 * 120 * 3 / 2);
  const auto data = WithSlack(frame);
  ASSERT_EQ(DecodeCompressedFrame(static_cast<std::int32_t>(frame.size()), data.data(), 160, 120, 3,
                                  0, 1, 0, 0, 0, 1, output.data(), 0, nullptr),
            CODEC_OK);
  ASSERT_EQ(DecodeCompressedFrame(static_cast<std::int32_t>(frame.size()), data.data(), 160, 120, 3,
                                  0, 1, 0, 0, 0, 0, output.data(), 0, nullptr),
            CODEC_OK);
  sim::PlanarImage decoded(160, 120, Sampling::k420);
  decoded.pixels = output;
  EXPECT_GT(sim::PlanePsnr(decoded, picture, 0), 36.0);
  // Seventy macroblocks (the whole rows above) are not a 160 x 120 frame.
  const auto short_frame = sim::EncodeFrame(sim::MakeTestPicture(160, 112, Sampling::k420, 5), 3);
  EXPECT_EQ(DecodePlanar(WithSlack(short_frame), static_cast<std::int32_t>(short_frame.size()), 160,
                         120, 3, Sampling::k420)
                .status,
            CODEC_ERR_STREAM);
}

// Arguments no frame can have are refused before anything is read or written.
TEST(Decoder, RefusesSizesAndBuffersThatDescribeNoFrame) {
  const auto data = WithSlack({0x28, 0xA2, 0x8A, 0x00});
  std::vector<std::uint8_t> out(64 * 64 * 4, kUntouched);
  std::vector<std::uint8_t> spare(64 * 64 * 4, kUntouched);
  struct Case {
    std::int32_t width, height;
    std::uint32_t planar, use_stride;
    std::int32_t stride;
    std::uint32_t enlarge;
    bool null_data, null_output, null_enlarge;
  };
  const Case cases[] = {
      {0, 16, 1, 0, 0, 0, false, false, false},     {-16, 16, 1, 0, 0, 0, false, false, false},
      {24, 16, 1, 0, 0, 0, false, false, false},    {16, 0, 1, 0, 0, 0, false, false, false},
      {16, -16, 1, 0, 0, 0, false, false, false},   {16, 12, 1, 0, 0, 0, false, false, false},
      {65536, 16, 1, 0, 0, 0, false, false, false}, {16, 65544, 1, 0, 0, 0, false, false, false},
      {16, 16, 1, 0, 0, 0, true, false, false},     {16, 16, 1, 0, 0, 0, false, true, false},
      {16, 16, 1, 0, 0, 1, false, false, true},     {16, 16, 0, 1, 63, 0, false, false, false},
      {16, 16, 0, 1, -64, 0, false, false, false},  {16, 16, 0, 1, 64, 0x100, false, false, true},
      {16, 16, 0, 1, 79, 1, false, false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DecodeCompressedFrame(4, c.null_data ? nullptr : data.data(), c.width, c.height, 0, 0,
                                    c.planar, c.use_stride, c.stride, 0, 0,
                                    c.null_output ? nullptr : out.data(), c.enlarge,
                                    c.null_enlarge ? nullptr : spare.data()),
              c.null_enlarge && (c.enlarge & 0xFF) == 0 ? CODEC_OK : CODEC_ERR_STREAM)
        << c.width << "x" << c.height << " stride " << c.stride;
  }
  EXPECT_TRUE(AllEqual(spare.data(), spare.size(), kUntouched));
}

// All frame state lives in the call: decodes for two cameras may overlap.
TEST(Decoder, ConcurrentDecodesDoNotDisturbEachOther) {
  const auto a = WithSlack(NaturalFrame(64, 48, Sampling::k420, 3, 1));
  const auto b = WithSlack(NaturalFrame(64, 48, Sampling::k420, 5, 2));
  const auto expected_a =
      DecodePlanar(a, static_cast<std::int32_t>(a.size() - kSlack), 64, 48, 3, Sampling::k420);
  const auto expected_b =
      DecodePlanar(b, static_cast<std::int32_t>(b.size() - kSlack), 64, 48, 5, Sampling::k420);
  auto worker = [](const std::vector<std::uint8_t>& data, int qtable, const Decoded& expected,
                   bool& same) {
    same = true;
    for (int i = 0; i < 200; ++i) {
      const auto got = DecodePlanar(data, static_cast<std::int32_t>(data.size() - kSlack), 64, 48,
                                    qtable, Sampling::k420);
      same = same && got.pixels == expected.pixels && got.status == CODEC_OK;
    }
  };
  bool same_a = false, same_b = false;
  std::thread first(worker, std::cref(a), 3, std::cref(expected_a), std::ref(same_a));
  std::thread second(worker, std::cref(b), 5, std::cref(expected_b), std::ref(same_b));
  first.join();
  second.join();
  EXPECT_TRUE(same_a);
  EXPECT_TRUE(same_b);
}

TEST(InverseDct, ReferenceValues) {
  for (InverseDctFunction idct : {InverseDctFunction{InverseDctScalar}, BestInverseDct()}) {
    const std::pair<std::int32_t, int> flat[] = {{100, 141}, {0, 128}, {-1100, 0}, {1100, 255}};
    for (auto [dc, sample] : flat) {
      alignas(32) std::int32_t block[64] = {dc};
      alignas(32) std::uint8_t samples[64];
      idct(block, samples);
      EXPECT_TRUE(AllEqual(samples, 64, static_cast<std::uint8_t>(sample))) << dc;
    }
    alignas(32) std::int32_t block[64] = {-50};
    block[ColumnMajor(1)] = 30;  // row 0, column 1
    alignas(32) std::uint8_t samples[64];
    idct(block, samples);
    const std::uint8_t row[8] = {127, 126, 125, 123, 121, 119, 117, 117};
    for (int r = 0; r < 8; ++r) EXPECT_TRUE(std::equal(row, row + 8, samples + r * 8)) << r;
  }
}

}  // namespace
}  // namespace veltocam::codec::testing
