#include "apps/image_files.h"

#include <png.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "codec/decoder.h"

namespace veltocam::app {
namespace {

std::string ErrnoText(const std::string& path) {
  return path + ": " + std::strerror(errno);
}

bool EndsWith(const std::string& text, const std::string& suffix) {
  if (text.size() < suffix.size()) return false;
  for (std::size_t i = 0; i < suffix.size(); ++i) {
    char c = text[text.size() - suffix.size() + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != suffix[i]) return false;
  }
  return true;
}

}  // namespace

Y4mWriter::~Y4mWriter() {
  if (file_ == stdout) {
    std::fflush(file_);
  } else if (file_ != nullptr) {
    std::fclose(file_);
  }
}

std::string Y4mWriter::Open(const std::string& path, int width, int height, ChromaLayout layout,
                            int framesPerSecond) {
  path_ = path;
  // "-" is standard output, kept open for the rest of the process.
  file_ = path == "-" ? stdout : std::fopen(path.c_str(), "wb");
  if (file_ == nullptr) return ErrnoText(path);
  const char* chroma = layout == ChromaLayout::k420 ? "420jpeg" : "422";
  if (std::fprintf(file_, "YUV4MPEG2 W%d H%d F%d:1 Ip A1:1 C%s\n", width, height, framesPerSecond,
                   chroma) < 0) {
    return ErrnoText(path);
  }
  return {};
}

std::string Y4mWriter::Write(const std::uint8_t* planes, std::size_t size) {
  if (std::fputs("FRAME\n", file_) < 0 || std::fwrite(planes, 1, size, file_) != size) {
    return ErrnoText(path_);
  }
  return {};
}

std::string WritePng(const std::string& path, int width, int height, const std::uint8_t* rgb,
                     std::size_t stride) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return ErrnoText(path);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  if (info == nullptr || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
    return path + ": cannot write PNG";
  }
  png_init_io(png, file);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
               PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < height; ++y) {
    png_write_row(png, const_cast<png_bytep>(rgb + static_cast<std::size_t>(y) * stride));
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return std::fclose(file) == 0 ? std::string() : ErrnoText(path);
}

std::string WritePicturePng(const std::string& path, const Picture& picture) {
  std::vector<std::uint8_t> rgb(static_cast<std::size_t>(picture.width) * picture.height * 3);
  const auto convert =
      picture.layout == ChromaLayout::k420 ? Convert420ToPacked : Convert422ToPacked;
  convert(picture.planes.data(), picture.width, picture.height, rgb.data(), picture.width * 3, 0,
          10, nullptr, 0, 0);
  return WritePng(path, picture.width, picture.height, rgb.data(),
                  static_cast<std::size_t>(picture.width) * 3);
}

std::string WriteRawFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return ErrnoText(path);
  const bool written = std::fwrite(data, 1, size, file) == size;
  if (std::fclose(file) != 0 || !written) return ErrnoText(path);
  return {};
}

std::optional<std::vector<std::uint8_t>> ReadWholeFile(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return std::nullopt;
  std::vector<std::uint8_t> bytes;
  std::uint8_t chunk[65536];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0)
    bytes.insert(bytes.end(), chunk, chunk + n);
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) return std::nullopt;
  return bytes;
}

std::string ReadPngRgb(const std::string& path, int* width, int* height,
                       std::vector<std::uint8_t>* rgb) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) {
    return path + ": " + image.message;
  }
  image.format = PNG_FORMAT_RGB;
  rgb->resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, rgb->data(), 0, nullptr)) {
    std::string message = path + ": " + image.message;
    png_image_free(&image);
    return message;
  }
  *width = static_cast<int>(image.width);
  *height = static_cast<int>(image.height);
  return {};
}

OutputKind OutputKindOf(const std::string& path) {
  if (EndsWith(path, ".y4m")) return OutputKind::kY4m;
  if (EndsWith(path, ".png")) return OutputKind::kPng;
  if (EndsWith(path, ".yuv")) return OutputKind::kYuv;
  return OutputKind::kUnknown;
}

}  // namespace veltocam::app
