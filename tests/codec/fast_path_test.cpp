// The fast decoder (wide bit window, lookup tables, vector transform) against
// the plain reference, on valid, truncated, corrupted and random streams.
#include <gtest/gtest.h>

#include "codec/idct.h"
#include "codec_test_util.h"

namespace veltocam::codec::testing {
namespace {

void ExpectSameAsReference(const std::vector<std::uint8_t>& data, std::int32_t length, int width,
                           int height, std::int32_t qtable_index, Sampling sampling,
                           bool flip = false) {
  const Decoded expected =
      ReferencePlanar(data, length, width, height, qtable_index, sampling, flip);
  for (InverseDctFunction idct : {InverseDctFunction{InverseDctScalar}, BestInverseDct()}) {
    const Decoded actual =
        DecodePlanar(data, length, width, height, qtable_index, sampling, flip, idct);
    ASSERT_EQ(actual.status, expected.status) << "length " << length;
    ASSERT_EQ(actual.pixels, expected.pixels) << "length " << length;
  }
}

TEST(FastDecoder, MatchesReferenceOnNaturalFrames) {
  struct Case {
    int width, height;
    Sampling sampling;
    int qtable;
  };
  for (const Case& c : {Case{16, 16, Sampling::k420, 0}, Case{160, 120, Sampling::k420, 3},
                        Case{96, 40, Sampling::k422, 7}, Case{64, 48, Sampling::k420, 99},
                        Case{48, 24, Sampling::k422, 9}}) {
    const auto frame = NaturalFrame(c.width, c.height, c.sampling, c.qtable);
    const auto data = WithSlack(frame);
    const auto length = static_cast<std::int32_t>(frame.size());
    ExpectSameAsReference(data, length, c.width, c.height, c.qtable, c.sampling);
    ExpectSameAsReference(data, length, c.width, c.height, c.qtable, c.sampling, true);
    EXPECT_EQ(ReferencePlanar(data, length, c.width, c.height, c.qtable, c.sampling).status,
              CODEC_OK);
  }
}

// Where the data ends decides which macroblock fails; every cut near the end
// must fail (or not) in the same macroblock as the reference.
TEST(FastDecoder, StopsWhereReferenceStopsOnTruncatedFrames) {
  for (Sampling sampling : {Sampling::k420, Sampling::k422}) {
    const auto frame = NaturalFrame(64, 32, sampling, 2, 7);
    const auto size = static_cast<std::int32_t>(frame.size());
    for (std::uint8_t fill : {std::uint8_t{0x00}, std::uint8_t{0xFF}}) {
      const auto data = WithSlack(frame, fill);
      for (std::int32_t length = 0; length <= size + 1; ++length) {
        ExpectSameAsReference(data, length, 64, 32, 2, sampling);
      }
    }
  }
}

// Valid blocks whose symbols are drawn uniformly, so long codes (11-bit DC,
// 16-bit AC) are common and fall on every position relative to the data's end.
std::vector<std::uint8_t> UniformSymbolFrame(int macroblocks, Sampling sampling,
                                             std::uint32_t seed) {
  std::mt19937 random(seed);
  sim::BitWriter writer;
  sim::BlockCoder coder(writer);
  const MacroblockShape& shape = ShapeOf(sampling);
  for (int m = 0; m < macroblocks; ++m) {
    for (int b = 0; b < shape.blocks; ++b) {
      const auto component = static_cast<sim::Component>(shape.component[b]);
      const int category = static_cast<int>(random() % 12);
      coder.PutDcDifference(component, category == 0 ? 0 : (1 << (category - 1)) + 1);
      // A ZRL covering positions 48..63 ends a block without an EOB: the one
      // place where the checks on the bits of a long code show.
      const bool end_with_zero_run = random() % 3 == 0;
      for (int k = 1; k < 64;) {
        if (end_with_zero_run && k >= 33) {
          if (k < 48) coder.PutAc(component, 47 - k, 1);
          coder.PutZeroRun(component);
          break;
        }
        const int run = static_cast<int>(random() % 16);
        if (random() % 8 == 0 && k + 16 <= 63) {
          coder.PutZeroRun(component);
          k += 16;
          continue;
        }
        if (k + run > 63 || random() % 12 == 0) {
          coder.PutEndOfBlock(component);
          break;
        }
        const int size = 1 + static_cast<int>(random() % 10);
        coder.PutAc(component, run, random() % 2 ? (1 << (size - 1)) : -(1 << (size - 1)));
        k += run + 1;
      }
    }
  }
  return writer.Finish();
}

TEST(FastDecoder, StopsWhereReferenceStopsAmongLongCodes) {
  for (Sampling sampling : {Sampling::k420, Sampling::k422}) {
    for (std::uint32_t seed = 1; seed <= 6; ++seed) {
      const auto frame = UniformSymbolFrame(2, sampling, seed);
      const auto data = WithSlack(frame, 0xFF);
      for (std::int32_t length = 0; length <= static_cast<std::int32_t>(frame.size()); ++length) {
        ExpectSameAsReference(data, length, 32, ShapeOf(sampling).height, 10, sampling);
      }
    }
  }
}

// Blocks packed with the shortest codes up to a last position near 63, with and
// without an end of block: two symbols per lookup must not run past the block,
// nor take the next block's bits as the end of this one.
TEST(FastDecoder, MatchesReferenceAroundTheEndOfBlocks) {
  for (int last = 58; last <= 63; ++last) {
    for (int value : {1, -1, 2, -3, 31, -32}) {
      sim::BitWriter writer;
      sim::BlockCoder coder(writer);
      for (int b = 0; b < 12; ++b) {  // two macroblocks
        const auto component = static_cast<sim::Component>(kShape420.component[b % 6]);
        // Differences whose codes begin like an end of block: luma -9 (101 0110
        // against 1010), chroma 0 (00 against 00).
        coder.PutDcDifference(component, component == sim::kY ? -9 : 0);
        // A run of one now and then, so pairs fall on every alignment.
        for (int k = 1; k <= last; ++k) {
          const bool skip_one = (k + b) % 5 == 0 && k < last;
          coder.PutAc(component, skip_one ? 1 : 0, k % 2 ? value : -value);
          k += skip_one ? 1 : 0;
        }
        if (last < 63) coder.PutEndOfBlock(component);
      }
      const auto frame = writer.Finish();
      ExpectSameAsReference(WithSlack(frame, 0xFF), static_cast<std::int32_t>(frame.size()), 32, 16,
                            7, Sampling::k420);
    }
  }
}

TEST(FastDecoder, MatchesReferenceOnCorruptedFrames) {
  std::mt19937 random(42);
  const auto frame = NaturalFrame(80, 48, Sampling::k420, 5);
  for (int trial = 0; trial < 300; ++trial) {
    auto data = WithSlack(frame);
    const int flips = 1 + static_cast<int>(random() % 4);
    for (int f = 0; f < flips; ++f) {
      const std::size_t bit = random() % (frame.size() * 8);
      data[bit / 8] ^= static_cast<std::uint8_t>(0x80 >> (bit % 8));
    }
    const auto length = static_cast<std::int32_t>(frame.size() - random() % 3);
    ExpectSameAsReference(data, length, 80, 48, 5, trial % 2 ? Sampling::k420 : Sampling::k422);
  }
}

TEST(FastDecoder, MatchesReferenceOnRandomBytes) {
  std::mt19937 random(7);
  for (int trial = 0; trial < 400; ++trial) {
    const int length = static_cast<int>(random() % 200);
    std::vector<std::uint8_t> data(static_cast<std::size_t>(length) + kSlack);
    // Mostly-zero bytes make long runs of short codes; uniform bytes hit the
    // long and invalid codes.
    const bool sparse = trial % 3 == 0;
    for (auto& byte : data) {
      byte = static_cast<std::uint8_t>(sparse ? (random() % 4 == 0 ? random() : 0) : random());
    }
    const int width = 16 * (1 + static_cast<int>(random() % 3));
    const int height = 8 * (1 + static_cast<int>(random() % 4));
    ExpectSameAsReference(data, length, width, height, static_cast<int>(random() % 12),
                          trial % 2 ? Sampling::k420 : Sampling::k422, trial % 5 == 0);
  }
}

TEST(InverseDct, VectorFormEqualsScalarOnAnyCoefficients) {
  if (BestInverseDct() == InverseDctScalar) GTEST_SKIP() << "no vector form on this processor";
  std::mt19937 random(3);
  for (int trial = 0; trial < 20000; ++trial) {
    alignas(32) std::int32_t scalar_in[64] = {};
    // Natural magnitudes, sparse blocks, and full 32-bit values that wrap.
    const int kind = trial % 3;
    for (int i = 0; i < 64; ++i) {
      if (kind == 0) {
        scalar_in[i] = static_cast<std::int32_t>(random() % 2048) - 1024;
      } else if (kind == 1) {
        scalar_in[i] = random() % 8 == 0 ? static_cast<std::int32_t>(random() % 512) - 256 : 0;
      } else {
        scalar_in[i] = static_cast<std::int32_t>(random());
      }
    }
    alignas(32) std::int32_t vector_in[64];
    std::copy(std::begin(scalar_in), std::end(scalar_in), vector_in);
    alignas(32) std::uint8_t expected[64];
    alignas(32) std::uint8_t actual[64];
    InverseDctScalar(scalar_in, expected);
    BestInverseDct()(vector_in, actual);
    ASSERT_TRUE(std::equal(expected, expected + 64, actual)) << "trial " << trial;
    for (int i = 0; i < 64; ++i) {
      ASSERT_EQ(scalar_in[i], 0);
      ASSERT_EQ(vector_in[i], 0);
    }
  }
}

// The form that stores straight into the planes: same samples, each row where
// the step puts it, nothing written between the rows.
TEST(InverseDct, RowStoringFormEqualsScalar) {
  if (BestInverseDct() == InverseDctScalar) GTEST_SKIP() << "no vector form on this processor";
  std::mt19937 random(5);
  constexpr std::ptrdiff_t kStep = 24;
  for (int trial = 0; trial < 2000; ++trial) {
    alignas(32) std::int32_t scalar_in[64];
    for (auto& c : scalar_in) {
      c = trial % 2 ? static_cast<std::int32_t>(random() % 2048) - 1024
                    : static_cast<std::int32_t>(random());
    }
    alignas(32) std::int32_t vector_in[64];
    std::copy(std::begin(scalar_in), std::end(scalar_in), vector_in);
    alignas(32) std::uint8_t expected[64];
    InverseDctScalar(scalar_in, expected);
    std::vector<std::uint8_t> rows(8 * kStep, kUntouched);
    InverseDctAvx2ToRows(vector_in, rows.data() + 8, kStep);
    for (int r = 0; r < 8; ++r) {
      const std::uint8_t* row = rows.data() + r * kStep;
      ASSERT_TRUE(std::equal(expected + r * 8, expected + r * 8 + 8, row + 8)) << "trial " << trial;
      ASSERT_TRUE(std::all_of(row, row + 8, [](std::uint8_t s) { return s == kUntouched; }));
      ASSERT_TRUE(
          std::all_of(row + 16, row + kStep, [](std::uint8_t s) { return s == kUntouched; }));
    }
    ASSERT_TRUE(std::all_of(std::begin(vector_in), std::end(vector_in),
                            [](std::int32_t c) { return c == 0; }));
  }
}

TEST(InverseDct, DcOnlyShortcutEqualsFullTransform) {
  for (std::int32_t dc = -70000; dc <= 70000; dc += 7) {
    alignas(32) std::int32_t block[64] = {dc};
    alignas(32) std::uint8_t samples[64];
    InverseDctScalar(block, samples);
    ASSERT_EQ(DcOnlySample(dc), samples[0]) << dc;
    ASSERT_TRUE(
        std::all_of(samples, samples + 64, [&](std::uint8_t s) { return s == samples[0]; }));
  }
}

}  // namespace
}  // namespace veltocam::codec::testing
