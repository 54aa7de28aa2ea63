// Arbitrary bytes, sizes, pairs and output forms for DecodeCompressedFrame, with
// every buffer sized exactly: the data plus the 5 bytes of read-ahead slack,
// the output and enlargement images as their layouts define them. Any read or
// write outside them is a sanitizer report. The entry's fast paths are held to
// the plain ones: the same bytes and status as the scalar transform in every
// form, and as the plain reference decoder for planar output.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "codec/decoder.h"
#include "codec/frame_decoder.h"
#include "codec/idct.h"
#include "reference_decoder.h"

namespace {

constexpr std::size_t kHeaderBytes = 6;
constexpr std::size_t kSlack = 5;

std::size_t PlanarSize(std::int64_t width, std::int64_t height, bool sampling422) {
  const std::int64_t luma = width * height;
  return static_cast<std::size_t>(sampling422 ? luma * 2 : luma * 3 / 2);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
  if (size < kHeaderBytes) return 0;
  // Header: width and height units, pair, output form, stride padding, cut.
  const std::uint8_t form = input[3];
  const bool sampling422 = form & 1;
  const bool planar = form & 2;
  const bool use_stride = form & 4;
  const bool bgr = form & 8;
  const bool flip = form & 16;
  const bool enlarge = form & 32;
  const bool odd_width = (form & 0xC0) == 0xC0;  // must be refused
  const std::int32_t width = 16 * (1 + input[0] % 8) - (odd_width ? 8 : 0);
  const std::int32_t height = 8 * (1 + input[1] % 10);
  const std::int32_t qtable = input[2] % 52;
  const std::int32_t stride_padding = input[4] % 32 - 4;  // below 0: a stride too small
  const std::size_t cut = input[5] % 8;

  // The coded data, shortened by `cut` bytes, then exactly the slack.
  const std::size_t available = size - kHeaderBytes;
  const std::size_t length = available > cut ? available - cut : 0;
  std::vector<std::uint8_t> data(input + kHeaderBytes, input + kHeaderBytes + length);
  data.resize(length + kSlack, 0xFF);

  const std::int32_t out_width = enlarge ? width * 5 / 4 : width;
  const std::int32_t out_height = enlarge ? height * 5 / 4 : height;
  const std::int32_t stride = use_stride ? out_width * 4 + stride_padding : out_width * 3;
  std::size_t output_size;
  std::size_t enlarge_size = 0;
  if (planar) {
    output_size = PlanarSize(out_width, out_height, sampling422);
    if (enlarge) enlarge_size = PlanarSize(width, height, sampling422);
  } else {
    output_size =
        static_cast<std::size_t>(std::max(stride, 0)) * static_cast<std::size_t>(out_height);
    if (enlarge) {
      // The frame is decoded planar into the output before it is converted there.
      output_size = std::max(output_size, PlanarSize(width, height, sampling422));
      enlarge_size = PlanarSize(out_width, out_height, sampling422);
    }
  }
  std::vector<std::uint8_t> output(std::max<std::size_t>(output_size, 1));
  std::vector<std::uint8_t> work(std::max<std::size_t>(enlarge_size, 1));

  const std::uint32_t status = DecodeCompressedFrame(
      static_cast<std::int32_t>(length), data.data(), width, height, qtable, sampling422, planar,
      use_stride, stride, bgr, flip, output.data(), enlarge, enlarge ? work.data() : nullptr);
  if ((status & 0xFFFF) != CODEC_OK && (status & 0xFFFF) != CODEC_ERR_STREAM) __builtin_trap();
  if (odd_width && status != CODEC_ERR_STREAM) __builtin_trap();

  std::vector<std::uint8_t> plain_output(output.size());
  std::vector<std::uint8_t> plain_work(work.size());
  const veltocam::codec::FrameArguments plain{static_cast<std::int32_t>(length),
                                              data.data(),
                                              width,
                                              height,
                                              qtable,
                                              sampling422,
                                              planar,
                                              use_stride,
                                              stride,
                                              bgr,
                                              flip,
                                              plain_output.data(),
                                              enlarge,
                                              enlarge ? plain_work.data() : nullptr};
  if (DecodeFrameWith(plain, veltocam::codec::InverseDctScalar) != status) __builtin_trap();
  if (plain_output != output || plain_work != work) __builtin_trap();

  if (!planar || enlarge || odd_width) return 0;
  std::vector<std::uint8_t> reference(output.size());
  const auto sampling =
      sampling422 ? veltocam::codec::Sampling::k422 : veltocam::codec::Sampling::k420;
  const auto expected = veltocam::codec::testing::ReferenceDecodePlanar(
      data.data(), static_cast<std::int32_t>(length), width, height, qtable, sampling, flip,
      reference.data());
  if (expected.status != status || reference != output) __builtin_trap();
  return 0;
}
