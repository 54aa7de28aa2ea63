#include "jpeg_reference.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

namespace veltocam::codec::testing {

std::vector<std::uint8_t> EncodeJpeg420(const sim::PlanarImage& image, const QuantPair& pair) {
  jpeg_compress_struct c{};
  jpeg_error_mgr error{};
  c.err = jpeg_std_error(&error);
  jpeg_create_compress(&c);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &out, &size);
  c.image_width = static_cast<JDIMENSION>(image.width);
  c.image_height = static_cast<JDIMENSION>(image.height);
  c.input_components = 3;
  c.in_color_space = JCS_YCbCr;
  jpeg_set_defaults(&c);
  jpeg_set_colorspace(&c, JCS_YCbCr);
  c.raw_data_in = TRUE;
  c.optimize_coding = FALSE;
  c.restart_interval = 0;
  c.dct_method = JDCT_ISLOW;
  c.comp_info[0].h_samp_factor = c.comp_info[0].v_samp_factor = 2;
  for (int i = 1; i < 3; ++i) c.comp_info[i].h_samp_factor = c.comp_info[i].v_samp_factor = 1;
  unsigned int luma[64], chroma[64];
  std::copy(pair.luma.begin(), pair.luma.end(), luma);
  std::copy(pair.chroma.begin(), pair.chroma.end(), chroma);
  jpeg_add_quant_table(&c, 0, luma, 100, TRUE);  // scale 100: the entries as given
  jpeg_add_quant_table(&c, 1, chroma, 100, TRUE);
  jpeg_start_compress(&c, TRUE);
  std::array<JSAMPROW, 16> rows[3];
  while (c.next_scanline < c.image_height) {
    const int y = static_cast<int>(c.next_scanline);
    for (int p = 0; p < 3; ++p) {
      const int w = image.plane_width(p), h = image.plane_height(p);
      const int count = p == 0 ? 16 : 8, top = p == 0 ? y : y / 2;
      for (int r = 0; r < count; ++r) {
        rows[p][r] = const_cast<JSAMPROW>(image.plane(p) + std::min(top + r, h - 1) * w);
      }
    }
    JSAMPARRAY planes[3] = {rows[0].data(), rows[1].data(), rows[2].data()};
    jpeg_write_raw_data(&c, planes, 16);
  }
  jpeg_finish_compress(&c);
  std::vector<std::uint8_t> result(out, out + size);
  jpeg_destroy_compress(&c);
  std::free(out);
  return result;
}

std::vector<std::uint8_t> StripToCameraFormat(const std::vector<std::uint8_t>& jpeg) {
  std::size_t pos = 2;  // after SOI
  while (pos + 4 <= jpeg.size() && jpeg[pos + 1] != 0xDA) {
    pos += 2 + static_cast<std::size_t>(jpeg[pos + 2] << 8 | jpeg[pos + 3]);
  }
  pos += 2 + static_cast<std::size_t>(jpeg[pos + 2] << 8 | jpeg[pos + 3]);
  std::vector<std::uint8_t> data;
  for (; pos + 1 < jpeg.size(); ++pos) {
    if (jpeg[pos] == 0xFF) {
      if (jpeg[pos + 1] != 0x00) break;  // EOI: no restart markers were written
      ++pos;
      data.push_back(0xFF);
      continue;
    }
    data.push_back(jpeg[pos]);
  }
  return data;
}

JpegCoefficients ReadDequantisedCoefficients(const std::vector<std::uint8_t>& jpeg) {
  jpeg_decompress_struct d{};
  jpeg_error_mgr error{};
  d.err = jpeg_std_error(&error);
  jpeg_create_decompress(&d);
  jpeg_mem_src(&d, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
  jpeg_read_header(&d, TRUE);
  jvirt_barray_ptr* arrays = jpeg_read_coefficients(&d);
  JpegCoefficients result;
  for (int c = 0; c < 3; ++c) {
    const jpeg_component_info& info = d.comp_info[c];
    // Whole macroblocks: the arrays are padded to the sampling factors.
    const auto round_up = [](JDIMENSION n, int m) { return (n + m - 1) / m * m; };
    const JDIMENSION rows = round_up(info.height_in_blocks, info.v_samp_factor);
    const JDIMENSION columns = round_up(info.width_in_blocks, info.h_samp_factor);
    result.blocks_per_row[c] = static_cast<int>(columns);
    for (JDIMENSION by = 0; by < rows; ++by) {
      JBLOCKARRAY row =
          d.mem->access_virt_barray(reinterpret_cast<j_common_ptr>(&d), arrays[c], by, 1, FALSE);
      for (JDIMENSION bx = 0; bx < columns; ++bx) {
        std::array<std::int32_t, 64> block{};
        for (int i = 0; i < 64; ++i) block[i] = row[0][bx][i] * info.quant_table->quantval[i];
        result.blocks[c].push_back(block);
      }
    }
  }
  jpeg_finish_decompress(&d);
  jpeg_destroy_decompress(&d);
  return result;
}

struct JpegRawDecoder::Context {
  jpeg_decompress_struct d{};
  jpeg_error_mgr error{};
  std::vector<std::uint8_t> below[3];  // rows of the last macroblock row past the image
};

JpegRawDecoder::JpegRawDecoder() : context_(new Context) {
  context_->d.err = jpeg_std_error(&context_->error);
  jpeg_create_decompress(&context_->d);
}

JpegRawDecoder::~JpegRawDecoder() {
  jpeg_destroy_decompress(&context_->d);
  delete context_;
}

void JpegRawDecoder::Decode(const std::vector<std::uint8_t>& jpeg, sim::PlanarImage& image) {
  jpeg_decompress_struct& d = context_->d;
  jpeg_mem_src(&d, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
  jpeg_read_header(&d, TRUE);
  d.raw_data_out = TRUE;
  d.dct_method = JDCT_ISLOW;
  d.do_fancy_upsampling = FALSE;
  jpeg_start_decompress(&d);
  for (int p = 0; p < 3; ++p) {
    const std::size_t size = static_cast<std::size_t>(image.plane_width(p)) * (p == 0 ? 16 : 8);
    if (context_->below[p].size() < size) context_->below[p].resize(size);
  }
  // Rows inside the image go straight into it, so that the benchmark times
  // libjpeg-turbo's decode and no copy of ours.
  std::array<JSAMPROW, 16> rows[3];
  while (d.output_scanline < d.output_height) {
    const int y = static_cast<int>(d.output_scanline);
    for (int p = 0; p < 3; ++p) {
      const int count = p == 0 ? 16 : 8, top = p == 0 ? y : y / 2;
      const auto width = static_cast<std::size_t>(image.plane_width(p));
      for (int r = 0; r < count; ++r) {
        rows[p][r] = top + r < image.plane_height(p)
                         ? image.plane(p) + static_cast<std::size_t>(top + r) * width
                         : context_->below[p].data() + static_cast<std::size_t>(r) * width;
      }
    }
    JSAMPARRAY planes[3] = {rows[0].data(), rows[1].data(), rows[2].data()};
    jpeg_read_raw_data(&d, planes, 16);
  }
  jpeg_finish_decompress(&d);
}

}  // namespace veltocam::codec::testing
