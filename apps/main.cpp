// veltocam: the camera driver on its host platform, from the command line.
#include <cstdio>
#include <cstring>

#include "apps/commands.h"

namespace {

constexpr const char* kUsage =
    "usage: veltocam COMMAND ...\n"
    "  capture  stream from the simulated camera through the driver to .y4m or .png\n"
    "  decode   decode one compressed frame dump to .y4m, .png or .yuv\n"
    "  encode   make a compressed frame dump of a scene, as the camera sends it\n"
    "  formats  list the streams and formats the driver offers (--json for JSON)\n"
    "  snapshot the driver's last snapshot as a .png\n"
    "  controls list and set the picture controls the driver advertises\n"
    "run a command without arguments for its options";

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "%s\n", kUsage);
    return 1;
  }
  const char* command = argv[1];
  if (std::strcmp(command, "capture") == 0) return veltocam::app::CaptureCommand(argc, argv);
  if (std::strcmp(command, "decode") == 0) return veltocam::app::DecodeCommand(argc, argv);
  if (std::strcmp(command, "encode") == 0) return veltocam::app::EncodeCommand(argc, argv);
  if (std::strcmp(command, "formats") == 0) return veltocam::app::FormatsCommand(argc, argv);
  if (std::strcmp(command, "snapshot") == 0) return veltocam::app::SnapshotCommand(argc, argv);
  if (std::strcmp(command, "controls") == 0) return veltocam::app::ControlsCommand(argc, argv);
  if (std::strcmp(command, "--help") == 0 || std::strcmp(command, "help") == 0) {
    std::printf("%s\n", kUsage);
    return 0;
  }
  std::fprintf(stderr, "veltocam: unknown command \"%s\"\n%s\n", command, kUsage);
  return 1;
}
