// The packed-colour decoders: each luminance sample becomes one pixel coloured by
// the chroma pair that covers it, without interpolation.
#include "codec/frame_decoder.h"
#include "codec/runtime_tables.h"

namespace veltocam::codec {
namespace {

class PackedWriter {
 public:
  PackedWriter(const FrameSource& source, Sampling sampling, const PackedLayout& layout)
      : tables_(GetDecoderTables()),
        rows_(layout.buffer, layout.stride, source.height, layout.flip),
        sampling_(sampling),
        pixel_bytes_(layout.four_byte_pixels ? 4 : 3),
        red_(layout.four_byte_pixels + (layout.bgr ? 2 : 0)),
        green_(layout.four_byte_pixels + 1),
        blue_(layout.four_byte_pixels + (layout.bgr ? 0 : 2)),
        chroma_blocks_(ShapeOf(sampling).blocks - 2) {}

  void Write(int x, int y, int rows, const MacroblockSamples& samples) {
    const int chroma_step = sampling_ == Sampling::k420 ? 2 : 1;
    for (int r = 0; r < rows; ++r) {
      std::uint8_t* pixel = rows_.Row(y + r) + static_cast<std::ptrdiff_t>(x) * pixel_bytes_;
      const int top = (r >> 3) * 2;
      const std::uint8_t* luma[2] = {samples[top] + (r & 7) * 8, samples[top + 1] + (r & 7) * 8};
      const std::uint8_t* cb = samples[chroma_blocks_] + (r / chroma_step) * 8;
      const std::uint8_t* cr = samples[chroma_blocks_ + 1] + (r / chroma_step) * 8;
      for (int c = 0; c < 16; ++c, pixel += pixel_bytes_) {
        const int luminance = luma[c >> 3][c & 7];
        const int blue_difference = cb[c >> 1];
        const int red_difference = cr[c >> 1];
        int red;
        int blue;
        if (sampling_ == Sampling::k422) {
          red = tables_.red[luminance][red_difference];
          blue = tables_.blue[luminance][blue_difference];
        } else {
          red = LimitSample(tables_, luminance + tables_.cr_to_r[red_difference]);
          blue = LimitSample(tables_, luminance + tables_.cb_to_b[blue_difference]);
        }
        const int green = LimitSample(tables_, luminance - tables_.cb_to_g[blue_difference] -
                                                   tables_.cr_to_g[red_difference]);
        if (pixel_bytes_ == 4) pixel[0] = 0;
        pixel[red_] = static_cast<std::uint8_t>(red);
        pixel[green_] = static_cast<std::uint8_t>(green);
        pixel[blue_] = static_cast<std::uint8_t>(blue);
      }
    }
  }

 private:
  const DecoderTables& tables_;
  PlaneRows rows_;
  Sampling sampling_;
  int pixel_bytes_;
  int red_;  // byte of the pixel that holds each colour
  int green_;
  int blue_;
  int chroma_blocks_;
};

}  // namespace

std::uint32_t DecodePacked(const FrameSource& source, Sampling sampling, const PackedLayout& layout,
                           InverseDctFunction idct) {
  PackedWriter writer(source, sampling, layout);
  return DecodeFrame(source, sampling, writer, idct);
}

}  // namespace veltocam::codec
