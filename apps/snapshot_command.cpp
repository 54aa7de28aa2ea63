// snapshot: the driver's snapshot file (snap.dat in the system directory) as
// a picture. The file is a bare 4:2:0 picture; its length says its size, as
// every capture size has a length of its own.
#include <cstdio>
#include <optional>
#include <string>

#include "apps/command_line.h"
#include "apps/commands.h"
#include "apps/image_files.h"
#include "apps/system_store.h"

namespace veltocam::app {
namespace {

constexpr const char* kUsage =
    "usage: veltocam snapshot [--system DIR] [-o FILE.png]\n"
    "  the last snapshot the driver saved (capture --snapshot K, or a client's\n"
    "  request) as a PNG picture, snapshot.png unless -o names another";

constexpr Size kCaptureSizes[] = {{640, 480}, {352, 288}, {320, 240}, {176, 144}, {160, 120}};

std::optional<Size> SnapshotSizeOf(std::size_t length) {
  for (const Size& size : kCaptureSizes) {
    if (Picture::Size(size.width, size.height, ChromaLayout::k420) == length) return size;
  }
  return std::nullopt;
}

}  // namespace

int SnapshotCommand(int argc, char** argv) {
  if (WantsHelp(argc, argv, 2)) return ShowUsage(kUsage);
  std::filesystem::path system;
  std::string output;
  try {
    CommandLine line(argc, argv, 2);
    system = TakeSystemDirectory(line);
    output = line.Take("output", "o").value_or("snapshot.png");
    if (!line.Rest().empty()) throw UsageError("unexpected argument " + line.Rest()[0]);
    if (OutputKindOf(output) != OutputKind::kPng) throw UsageError("-o: the picture is a .png");
  } catch (const UsageError& e) {
    std::fprintf(stderr, "veltocam: %s\n%s\n", e.what(), kUsage);
    return 1;
  }
  const std::string file = (system / "snap.dat").string();
  const auto data = ReadWholeFile(file);
  if (!data) {
    std::fprintf(stderr, "veltocam: %s: no snapshot there (capture --snapshot K saves one)\n",
                 file.c_str());
    return 1;
  }
  const auto size = SnapshotSizeOf(data->size());
  if (!size) {
    std::fprintf(stderr,
                 "veltocam: %s: %zu bytes is not a 4:2:0 picture of any capture size "
                 "(640x480, 352x288, 320x240, 176x144, 160x120)\n",
                 file.c_str(), data->size());
    return 1;
  }
  const Picture picture{size->width, size->height, ChromaLayout::k420, *data};
  if (const std::string error = WritePicturePng(output, picture); !error.empty()) {
    std::fprintf(stderr, "veltocam: %s\n", error.c_str());
    return 1;
  }
  std::printf("%dx%d snapshot to %s\n", size->width, size->height, output.c_str());
  return 0;
}

}  // namespace veltocam::app
