// Pictures on disk: YUV4MPEG2 streams, PNG files and raw planar dumps.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace veltocam::app {

enum class ChromaLayout { k420, k422 };

// A planar picture: Y, then U, then V (chroma width/2 by height/2 or height).
struct Picture {
  int width = 0;
  int height = 0;
  ChromaLayout layout = ChromaLayout::k420;
  std::vector<std::uint8_t> planes;

  static std::size_t Size(int width, int height, ChromaLayout layout) {
    const std::size_t luma = static_cast<std::size_t>(width) * height;
    return luma + 2 * (luma / (layout == ChromaLayout::k420 ? 4 : 2));
  }
};

// A YUV4MPEG2 stream, one FRAME per Write; closed by the destructor.
class Y4mWriter {
 public:
  Y4mWriter() = default;
  ~Y4mWriter();
  Y4mWriter(const Y4mWriter&) = delete;
  Y4mWriter& operator=(const Y4mWriter&) = delete;

  // Empty on success, else why the file cannot be written.
  std::string Open(const std::string& path, int width, int height, ChromaLayout layout,
                   int framesPerSecond);
  std::string Write(const std::uint8_t* planes, std::size_t size);

 private:
  std::FILE* file_ = nullptr;
  std::string path_;
};

std::string WritePng(const std::string& path, int width, int height, const std::uint8_t* rgb,
                     std::size_t stride);
// A planar picture as PNG (converted to RGB with the codec's converter).
std::string WritePicturePng(const std::string& path, const Picture& picture);
std::string WriteRawFile(const std::string& path, const std::uint8_t* data, std::size_t size);
std::optional<std::vector<std::uint8_t>> ReadWholeFile(const std::string& path);

// Reads a PNG as 8-bit RGB; empty error on success.
std::string ReadPngRgb(const std::string& path, int* width, int* height,
                       std::vector<std::uint8_t>* rgb);

// What a path's extension asks for.
enum class OutputKind { kY4m, kPng, kYuv, kUnknown };
OutputKind OutputKindOf(const std::string& path);

}  // namespace veltocam::app
