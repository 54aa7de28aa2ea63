#include "codec/decoder.h"

#include "codec/frame_decoder.h"
#include "codec/quant_tables.h"

namespace veltocam::codec {
namespace {

// The format codes sizes in 16 bits; larger ones would also overflow the
// 32-bit plane arithmetic of the interface.
constexpr std::int32_t kMaxDimension = 65535;

class PlanarWriter {
 public:
  PlanarWriter(std::uint8_t* buffer, std::int32_t width, std::int32_t height, Sampling sampling,
               bool flip)
      : planes_(buffer, width, height, sampling, flip),
        chroma_blocks_(ShapeOf(sampling).blocks - 2) {}

  void Write(int x, int y, int rows, const MacroblockSamples& samples) {
    for (int r = 0; r < rows; ++r) {
      const int top = (r >> 3) * 2;  // Y0/Y1 above, Y2/Y3 below
      std::uint8_t* row = planes_.luma.Row(y + r) + x;
      std::memcpy(row, samples[top] + (r & 7) * 8, 8);
      std::memcpy(row + 8, samples[top + 1] + (r & 7) * 8, 8);
    }
    const int chroma_y = y / planes_.chroma_per_luma_row;
    const int chroma_rows = std::min(8, planes_.chroma_height - chroma_y);
    for (int r = 0; r < chroma_rows; ++r) {
      std::memcpy(planes_.cb.Row(chroma_y + r) + x / 2, samples[chroma_blocks_] + r * 8, 8);
      std::memcpy(planes_.cr.Row(chroma_y + r) + x / 2, samples[chroma_blocks_ + 1] + r * 8, 8);
    }
  }

 private:
  PlanarPlanes planes_;
  int chroma_blocks_;
};

// Counts the macroblocks handed to the writer it wraps.
template <class Inner>
class CountingWriter {
 public:
  explicit CountingWriter(Inner& inner) : inner_(inner) {}
  void Write(int x, int y, int rows, const MacroblockSamples& samples) {
    inner_.Write(x, y, rows, samples);
    ++count_;
  }
  std::uint32_t count() const { return count_; }

 private:
  Inner& inner_;
  std::uint32_t count_ = 0;
};

bool ArgumentsDescribeAFrame(const FrameArguments& a) {
  if (a.compressed_data == nullptr || a.output_buffer == nullptr) return false;
  if (a.width <= 0 || a.width % 16 != 0 || a.width > kMaxDimension) return false;
  if (a.height <= 0 || a.height % 8 != 0 || a.height > kMaxDimension) return false;
  const bool enlarge = (a.enlarge & 0xFF) != 0;
  if (enlarge && a.enlarge_buffer == nullptr) return false;
  if (!a.planar_output && a.use_stride) {
    // Rows closer than a row of 4-byte pixels would overwrite each other, and
    // a negative stride would write before the buffer.
    const std::int64_t width = enlarge ? a.width * 5 / 4 : a.width;
    if (a.stride < width * 4) return false;
  }
  return true;
}

}  // namespace

std::uint32_t DecodePlanar(const FrameSource& source, Sampling sampling, std::uint8_t* output,
                           bool flip, InverseDctFunction idct) {
  if (idct == InverseDctAvx2) return DecodePlanarAvx2(source, sampling, output, flip);
  PlanarWriter writer(output, source.width, source.height, sampling, flip);
  return DecodeFrame(source, sampling, writer, idct);
}

std::uint32_t DecodeFrameWith(const FrameArguments& a, InverseDctFunction idct) {
  if (!ArgumentsDescribeAFrame(a)) return CODEC_ERR_STREAM;
  const FrameSource source{a.compressed_data, a.compressed_length, a.width, a.height,
                           &SelectQuantPair(a.qtable_index)};
  const Sampling sampling = a.sampling_type != 0 ? Sampling::k422 : Sampling::k420;
  const bool flip = a.flip_vertical != 0;
  const bool enlarge = (a.enlarge & 0xFF) != 0;
  const std::int32_t enlarged_width = a.width * 5 / 4;
  const std::int32_t enlarged_height = a.height * 5 / 4;
  const auto enlarge_planar = sampling == Sampling::k420 ? Enlarge420Planar : Enlarge422Planar;

  if (a.planar_output) {
    if (!enlarge) return DecodePlanar(source, sampling, a.output_buffer, flip, idct);
    const std::uint32_t status = DecodePlanar(source, sampling, a.enlarge_buffer, flip, idct);
    if ((status & 0xFFFF) != CODEC_OK) return status;
    return enlarge_planar(a.enlarge_buffer, a.output_buffer, enlarged_width, enlarged_height);
  }

  if (!enlarge) {
    const std::ptrdiff_t stride = a.use_stride ? a.stride : a.width * 3;
    const PackedLayout layout{a.output_buffer, stride, a.use_stride != 0, a.bgr_order != 0, flip};
    return DecodePacked(source, sampling, layout, idct);
  }
  std::uint32_t status = DecodePlanar(source, sampling, a.output_buffer, flip, idct);
  if ((status & 0xFFFF) != CODEC_OK) return status;
  status = enlarge_planar(a.output_buffer, a.enlarge_buffer, enlarged_width, enlarged_height);
  if ((status & 0xFFFF) != CODEC_OK) return status;
  const auto convert = sampling == Sampling::k420 ? Convert420ToPacked : Convert422ToPacked;
  const std::int32_t stride = a.use_stride ? a.stride : enlarged_width * 3;
  return convert(a.enlarge_buffer, enlarged_width, enlarged_height, a.output_buffer, stride, 0, 10,
                 nullptr, a.use_stride, a.bgr_order);
}

}  // namespace veltocam::codec

std::uint32_t DecodeCompressedFrame(std::int32_t CompressedLength,
                                    const std::uint8_t* CompressedData, std::int32_t Width,
                                    std::int32_t Height, std::int32_t QTableIndex,
                                    std::uint32_t SamplingType, std::uint32_t PlanarOutput,
                                    std::uint32_t UseStride, std::int32_t Stride,
                                    std::uint32_t BgrOrder, std::uint32_t FlipVertical,
                                    std::uint8_t* OutputBuffer, std::uint32_t Enlarge,
                                    std::uint8_t* EnlargeBuffer) {
  using namespace veltocam::codec;
  const FrameArguments arguments{CompressedLength, CompressedData, Width,        Height,
                                 QTableIndex,      SamplingType,   PlanarOutput, UseStride,
                                 Stride,           BgrOrder,       FlipVertical, OutputBuffer,
                                 Enlarge,          EnlargeBuffer};
  return DecodeFrameWith(arguments, BestInverseDct());
}

std::uint32_t DecodeCompressedFramePlanar(std::int32_t CompressedLength,
                                          const std::uint8_t* CompressedData, std::int32_t Width,
                                          std::int32_t Height, std::int32_t QTableIndex,
                                          std::uint32_t SamplingType, std::uint8_t* OutputBuffer,
                                          std::uint32_t* MacroblocksDecoded) {
  using namespace veltocam::codec;
  *MacroblocksDecoded = 0;
  const FrameArguments arguments{CompressedLength,
                                 CompressedData,
                                 Width,
                                 Height,
                                 QTableIndex,
                                 SamplingType,
                                 1,
                                 0,
                                 0,
                                 0,
                                 0,
                                 OutputBuffer,
                                 0,
                                 nullptr};
  if (!ArgumentsDescribeAFrame(arguments)) return CODEC_ERR_STREAM;
  const FrameSource source{CompressedData, CompressedLength, Width, Height,
                           &SelectQuantPair(QTableIndex)};
  const Sampling sampling = SamplingType != 0 ? Sampling::k422 : Sampling::k420;
  PlanarWriter writer(OutputBuffer, Width, Height, sampling, false);
  CountingWriter<PlanarWriter> counting(writer);
  const std::uint32_t status = DecodeFrame(source, sampling, counting, BestInverseDct());
  *MacroblocksDecoded = counting.count();
  return status;
}
