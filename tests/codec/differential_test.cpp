// Random, shaped and mutated frames through every decoder and output form: the
// entry point, the fast entropy decoder with each transform, against the plain
// reference (planar output) and the scalar transform (every form). Each buffer
// is sized exactly, so a read or write past one shows under the sanitizers;
// output buffers start filled, so a stray write shows anywhere.
#include <gtest/gtest.h>

#include <algorithm>

#include "codec/idct.h"
#include "codec_test_util.h"

namespace veltocam::codec::testing {
namespace {

struct Form {
  bool planar;
  bool use_stride;
  bool bgr;
  bool enlarge;
};
constexpr Form kForms[] = {{true, false, false, false},
                           {false, false, false, false},
                           {false, true, true, false},
                           {true, false, false, true},
                           {false, true, false, true}};

struct Case {
  std::vector<std::uint8_t> data;  // exactly length + 5 bytes (at least 5)
  std::int32_t length;
  int width, height;
  std::int32_t qtable;
  Sampling sampling;
  bool flip;
};

struct Output {
  std::uint32_t status;
  std::vector<std::uint8_t> image;
  std::vector<std::uint8_t> work;
};

Output Decode(const Case& c, const Form& form, InverseDctFunction idct) {
  const int out_width = form.enlarge ? c.width * 5 / 4 : c.width;
  const int out_height = form.enlarge ? c.height * 5 / 4 : c.height;
  const int stride = form.use_stride ? out_width * 4 + 4 : out_width * 3;
  const std::size_t decoded = PlanarSize(c.width, c.height, c.sampling);
  const std::size_t enlarged = PlanarSize(out_width, out_height, c.sampling);
  std::size_t image = form.planar ? enlarged : static_cast<std::size_t>(stride) * out_height;
  std::size_t work = 0;
  if (form.enlarge) {
    work = form.planar ? decoded : enlarged;
    if (!form.planar) image = std::max(image, decoded);  // decoded there before conversion
  }
  Output out{0, std::vector<std::uint8_t>(image, kUntouched),
             std::vector<std::uint8_t>(work, kUntouched)};
  const FrameArguments arguments{c.length,     c.data.data(),
                                 c.width,      c.height,
                                 c.qtable,     c.sampling == Sampling::k422,
                                 form.planar,  form.use_stride,
                                 stride,       form.bgr,
                                 c.flip,       out.image.data(),
                                 form.enlarge, form.enlarge ? out.work.data() : nullptr};
  out.status = idct != nullptr ? DecodeFrameWith(arguments, idct)
                               : DecodeCompressedFrame(c.length, c.data.data(), c.width, c.height,
                                                       c.qtable, c.sampling == Sampling::k422,
                                                       form.planar, form.use_stride, stride,
                                                       form.bgr, c.flip, out.image.data(),
                                                       form.enlarge, arguments.enlarge_buffer);
  return out;
}

void ExpectEveryPathAgrees(const Case& c, const std::string& what) {
  std::vector<std::uint8_t> reference(PlanarSize(c.width, c.height, c.sampling), kUntouched);
  const ReferenceResult expected = ReferenceDecodePlanar(
      c.data.data(), c.length, c.width, c.height, c.qtable, c.sampling, c.flip, reference.data());
  const std::uint32_t status = expected.status;
  if (!c.flip) {  // the tools' entry, which also counts the macroblocks stored
    std::vector<std::uint8_t> image(reference.size(), kUntouched);
    std::uint32_t macroblocks = 0;
    ASSERT_EQ(DecodeCompressedFramePlanar(c.length, c.data.data(), c.width, c.height, c.qtable,
                                          c.sampling == Sampling::k422, image.data(), &macroblocks),
              status)
        << what;
    ASSERT_TRUE(image == reference) << what;
    ASSERT_EQ(macroblocks, static_cast<std::uint32_t>(expected.macroblocks)) << what;
  }
  for (const Form& form : kForms) {
    const Output plain = Decode(c, form, InverseDctScalar);
    ASSERT_EQ(plain.status, status) << what;
    if (form.planar && !form.enlarge) {
      ASSERT_TRUE(plain.image == reference) << what;
    }
    // The entry's own choice, and the vector transform where it runs.
    for (InverseDctFunction idct : {InverseDctFunction{nullptr}, BestInverseDct()}) {
      const Output fast = Decode(c, form, idct);
      ASSERT_EQ(fast.status, plain.status) << what;
      ASSERT_TRUE(fast.image == plain.image && fast.work == plain.work)
          << what << " planar " << form.planar << " enlarge " << form.enlarge;
    }
  }
}

// `length` coded bytes of `frame` (which may be shorter), then the 5 bytes
// that follow them in it, 0xFF past its end.
Case Cut(const std::vector<std::uint8_t>& frame, std::int32_t length, int width, int height,
         std::int32_t qtable, Sampling sampling, bool flip) {
  const std::size_t kept = static_cast<std::size_t>(std::max(length, 0)) + kSlack;
  std::vector<std::uint8_t> data(kept, 0xFF);
  std::copy_n(frame.begin(), std::min(kept, frame.size()), data.begin());
  return {std::move(data), length, width, height, qtable, sampling, flip};
}

int Magnitude(std::mt19937& random, int size) {
  const int low = 1 << (size - 1);
  const int value = low + static_cast<int>(random() % static_cast<unsigned>(low));
  return random() % 2 ? value : -value;
}

// One block drawn to stress the fast paths: dense short codes up to a last
// position near 63 (with or without an end of block), long codes and large
// values, zero runs, and now and then a run carried past position 63.
void PutShapedBlock(sim::BlockCoder& coder, sim::Component component, std::mt19937& random) {
  // Often a difference whose code begins like an end of block (luma -9: 101 0110
  // against 1010; chroma 0: 00), to follow a block that ends at 63 without one.
  const int category = static_cast<int>(random() % 16);
  if (category >= 12) {
    coder.PutDcDifference(component, component == sim::kY ? -9 : 0);
  } else {
    coder.PutDcDifference(component, category == 0 ? 0 : Magnitude(random, category));
  }
  const bool dense = random() % 2 == 0;
  const bool past_the_end = random() % 160 == 0;
  const int last = dense ? 56 + static_cast<int>(random() % 8) : 63;
  int k = 1;
  while (k < 64) {
    if (past_the_end && k >= 49) {  // corrupt: past the block
      if (random() % 2) {
        coder.PutZeroRun(component);
      } else {
        coder.PutAc(component, 15, 1);
      }
      return;
    }
    if (dense) {
      if (k > last) break;
      const int run = std::min(static_cast<int>(random() % 3 == 0), last - k);
      coder.PutAc(component, run, Magnitude(random, 1 + static_cast<int>(random() % 3)));
      k += run + 1;
      continue;
    }
    if (random() % 10 == 0 && k + 16 <= 64) {
      coder.PutZeroRun(component);
      k += 16;
      continue;
    }
    const int run = static_cast<int>(random() % 16);
    if (k + run > 63 || random() % 9 == 0) break;
    coder.PutAc(component, run, Magnitude(random, 1 + static_cast<int>(random() % 10)));
    k += run + 1;
  }
  // A block filled to 63 has no end of block; now and then one is left out anyway.
  if (k < 64 && random() % 64 != 0) coder.PutEndOfBlock(component);
}

std::vector<std::uint8_t> ShapedFrame(int macroblocks, Sampling sampling, std::mt19937& random) {
  sim::BitWriter writer;
  sim::BlockCoder coder(writer);
  const MacroblockShape& shape = ShapeOf(sampling);
  for (int m = 0; m < macroblocks; ++m) {
    for (int b = 0; b < shape.blocks; ++b) {
      PutShapedBlock(coder, static_cast<sim::Component>(shape.component[b]), random);
    }
  }
  return writer.Finish();
}

void Mutate(std::vector<std::uint8_t>& frame, std::mt19937& random) {
  if (frame.empty()) return;
  const int edits = 1 + static_cast<int>(random() % 4);
  for (int e = 0; e < edits; ++e) {
    const std::size_t at = random() % frame.size();
    switch (random() % 5) {
      case 0:
        frame[at] ^= static_cast<std::uint8_t>(1u << (random() % 8));
        break;
      case 1:
        frame[at] = random() % 2 ? 0x00 : 0xFF;
        break;
      case 2:
        frame.erase(frame.begin() + static_cast<std::ptrdiff_t>(at));
        if (frame.empty()) return;
        break;
      case 3:
        frame.insert(frame.begin() + static_cast<std::ptrdiff_t>(at),
                     static_cast<std::uint8_t>(random()));
        break;
      default:
        frame[at] = static_cast<std::uint8_t>(random());
        break;
    }
  }
}

constexpr std::int32_t kQTables[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 40, 49, 10, 39, 50, -1};

TEST(Differential, EveryPathAgreesOnShapedNaturalAndMutatedFrames) {
  std::mt19937 random(15);
  for (int trial = 0; trial < 240; ++trial) {
    const Sampling sampling = trial % 2 ? Sampling::k422 : Sampling::k420;
    const int width = 16 * (1 + static_cast<int>(random() % 4));
    const int height = 8 * (1 + static_cast<int>(random() % 5));
    const std::int32_t qtable = kQTables[random() % std::size(kQTables)];
    const int rows = (height + ShapeOf(sampling).height - 1) / ShapeOf(sampling).height;
    std::vector<std::uint8_t> frame =
        trial % 3 == 0 ? NaturalFrame(width, height, sampling, qtable, static_cast<unsigned>(trial))
                       : ShapedFrame(width / 16 * rows, sampling, random);
    if (trial % 4 == 1) Mutate(frame, random);
    // Mostly the whole frame; else cut anywhere, or a length at or below 0.
    auto length = static_cast<std::int32_t>(frame.size());
    if (trial % 5 == 2) length = static_cast<std::int32_t>(random() % (frame.size() + 1));
    if (trial % 29 == 3) length = -static_cast<std::int32_t>(random() % 6);
    const bool flip = random() % 4 == 0;
    ExpectEveryPathAgrees(Cut(frame, length, width, height, qtable, sampling, flip),
                          "trial " + std::to_string(trial));
  }
}

// Every cut of shaped frames, for both samplings: whichever check fires first
// (length, invalid code, run past 63), every path stops in the same macroblock.
TEST(Differential, EveryPathAgreesOnEveryTruncation) {
  std::mt19937 random(63);
  for (Sampling sampling : {Sampling::k420, Sampling::k422}) {
    for (int frame_number = 0; frame_number < 10; ++frame_number) {
      const std::vector<std::uint8_t> frame = ShapedFrame(2, sampling, random);
      for (std::int32_t length = 0; length <= static_cast<std::int32_t>(frame.size()); ++length) {
        ExpectEveryPathAgrees(
            Cut(frame, length, 32, ShapeOf(sampling).height, frame_number + 3, sampling, false),
            "length " + std::to_string(length));
      }
    }
  }
}

}  // namespace
}  // namespace veltocam::codec::testing
