// decode: one compressed frame dump to a picture file; encode: a scene to a
// compressed frame dump, as the camera would send it.
#include <cstdio>
#include <string>

#include "apps/command_line.h"
#include "apps/commands.h"
#include "apps/image_files.h"
#include "codec/decoder.h"
#include "sim/scene.h"

namespace veltocam::app {
namespace {

constexpr const char* kDecodeUsage =
    "usage: veltocam decode --size WxH [--qtable N] [--sampling 420|422] FRAME.bin -o OUT\n"
    "  OUT ends in .y4m, .png or .yuv";
constexpr const char* kEncodeUsage =
    "usage: veltocam encode --size WxH [--qtable N] [--sampling 420|422] "
    "[--scene bars|moving|FILE.png] [--frame N] -o FRAME.bin";

// The codec's sizes: width a multiple of 16, height of 8.
Size CodecSize(const std::optional<std::string>& text) {
  if (!text) throw UsageError("--size is required");
  const Size size = ParseSize(*text);
  if (size.width % 16 != 0 || size.height % 8 != 0) {
    throw UsageError("--size: the width must be a multiple of 16 and the height of 8");
  }
  return size;
}

bool Sampling422(CommandLine& line) {
  const std::string sampling = line.Take("sampling").value_or("420");
  if (sampling != "420" && sampling != "422") throw UsageError("--sampling: 420 or 422");
  return sampling == "422";
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "veltocam: %s\n", message.c_str());
  return 1;
}

int UsageFailure(const UsageError& error, const char* usage) {
  std::fprintf(stderr, "veltocam: %s\n%s\n", error.what(), usage);
  return 1;
}

std::string WritePicture(const std::string& path, const Picture& picture) {
  switch (OutputKindOf(path)) {
    case OutputKind::kY4m: {
      Y4mWriter writer;
      std::string error = writer.Open(path, picture.width, picture.height, picture.layout, 30);
      return error.empty() ? writer.Write(picture.planes.data(), picture.planes.size()) : error;
    }
    case OutputKind::kPng:
      return WritePicturePng(path, picture);
    case OutputKind::kYuv:
      return WriteRawFile(path, picture.planes.data(), picture.planes.size());
    case OutputKind::kUnknown:
      break;
  }
  return path + ": the output must end in .y4m, .png or .yuv";
}

}  // namespace

int DecodeCommand(int argc, char** argv) {
  if (WantsHelp(argc, argv, 2)) return ShowUsage(kDecodeUsage);
  Size size{};
  long qtable = 3;
  bool is422 = false;
  std::string input, output;
  try {
    CommandLine line(argc, argv, 2);
    const auto sizeText = line.Take("size");
    qtable = ParseInteger(line.Take("qtable").value_or("3"), "--qtable", 0, 255);
    is422 = Sampling422(line);
    output = line.Take("output", "o").value_or("");
    const auto rest = line.Rest();
    size = CodecSize(sizeText);
    if (rest.size() != 1) throw UsageError("give exactly one frame file");
    if (output.empty()) throw UsageError("-o OUT is required");
    if (OutputKindOf(output) == OutputKind::kUnknown) {
      throw UsageError("-o: the output must end in .y4m, .png or .yuv");
    }
    input = rest[0];
  } catch (const UsageError& e) {
    return UsageFailure(e, kDecodeUsage);
  }

  auto data = ReadWholeFile(input);
  if (!data) return Fail(input + ": cannot read");
  const std::size_t length = data->size();
  data->resize(length + 5, 0);  // the decoder reads up to 5 bytes ahead

  Picture picture;
  picture.width = size.width;
  picture.height = size.height;
  picture.layout = is422 ? ChromaLayout::k422 : ChromaLayout::k420;
  const std::size_t luma = static_cast<std::size_t>(size.width) * size.height;
  // What no macroblock reaches stays black.
  picture.planes.assign(Picture::Size(size.width, size.height, picture.layout), 0x80);
  std::fill(picture.planes.begin(), picture.planes.begin() + static_cast<long>(luma), 0);

  std::uint32_t decoded = 0;
  const std::uint32_t status = DecodeCompressedFramePlanar(
      static_cast<std::int32_t>(length), data->data(), size.width, size.height,
      static_cast<std::int32_t>(qtable), is422 ? 1 : 0, picture.planes.data(), &decoded);
  const std::string error = WritePicture(output, picture);
  if (!error.empty()) return Fail(error);
  if ((status & 0xFFFF) != CODEC_OK) {
    const int rows = is422 ? (size.height + 7) / 8 : (size.height + 15) / 16;
    std::fprintf(stderr, "veltocam: corrupt or truncated frame: %u of %d macroblocks decoded\n",
                 decoded, rows * (size.width / 16));
    return 2;
  }
  return 0;
}

int EncodeCommand(int argc, char** argv) {
  if (WantsHelp(argc, argv, 2)) return ShowUsage(kEncodeUsage);
  Size size{};
  long qtable = 3, frame = 0;
  bool is422 = false;
  std::string sceneName, output;
  try {
    CommandLine line(argc, argv, 2);
    const auto sizeText = line.Take("size");
    qtable = ParseInteger(line.Take("qtable").value_or("3"), "--qtable", 0, 255);
    is422 = Sampling422(line);
    sceneName = line.Take("scene").value_or("moving");
    frame = ParseInteger(line.Take("frame").value_or("0"), "--frame", 0, 99999);
    output = line.Take("output", "o").value_or("");
    if (!line.Rest().empty()) throw UsageError("unexpected argument " + line.Rest()[0]);
    size = CodecSize(sizeText);
    if (output.empty()) throw UsageError("-o FRAME.bin is required");
  } catch (const UsageError& e) {
    return UsageFailure(e, kEncodeUsage);
  }

  std::unique_ptr<sim::Scene> scene;
  if (sceneName == "bars") {
    scene = sim::MakeColourBars();
  } else if (sceneName == "moving") {
    scene = sim::MakeMovingScene();
  } else {
    int w = 0, h = 0;
    std::vector<std::uint8_t> rgb;
    const std::string error = ReadPngRgb(sceneName, &w, &h, &rgb);
    if (!error.empty()) return Fail(error);
    scene = sim::MakeStillPicture(w, h, std::move(rgb));
  }
  sim::PlanarImage image(size.width, size.height,
                         is422 ? sim::Sampling::k422 : sim::Sampling::k420);
  scene->Render(static_cast<std::uint32_t>(frame), image);
  const std::vector<std::uint8_t> coded =
      sim::EncodeFrame(image, static_cast<std::int32_t>(qtable));
  const std::string error = WriteRawFile(output, coded.data(), coded.size());
  return error.empty() ? 0 : Fail(error);
}

}  // namespace veltocam::app
