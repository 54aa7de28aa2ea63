// veltocam: the camera driver on its host platform, from the command line.
#include <cstdio>
#include <cstring>

#include "apps/commands.h"

#ifndef VELTOCAM_VERSION
#define VELTOCAM_VERSION "unknown"
#endif

namespace {

struct Command {
  const char* name;
  int (*run)(int argc, char** argv);
};

constexpr Command kCommands[] = {
    {"capture", veltocam::app::CaptureCommand},   {"decode", veltocam::app::DecodeCommand},
    {"encode", veltocam::app::EncodeCommand},     {"formats", veltocam::app::FormatsCommand},
    {"snapshot", veltocam::app::SnapshotCommand}, {"controls", veltocam::app::ControlsCommand},
    {"soak", veltocam::app::SoakCommand},
};

constexpr const char* kUsage =
    "usage: veltocam COMMAND [OPTIONS]\n"
    "       veltocam COMMAND --help    a command's options\n"
    "       veltocam --version\n"
    "commands:\n"
    "  capture  stream from the simulated camera through the driver to .y4m or .png\n"
    "  decode   decode one compressed frame dump to .y4m, .png or .yuv\n"
    "  encode   make a compressed frame dump of a scene, as the camera sends it\n"
    "  formats  list the streams and formats the driver offers (--json for JSON)\n"
    "  snapshot the driver's last snapshot as a .png\n"
    "  controls list and set the picture controls the driver advertises\n"
    "  soak     run the driver under randomized schedules and a storm of faults";

bool IsOneOf(const char* text, const char* a, const char* b) {
  return std::strcmp(text, a) == 0 || std::strcmp(text, b) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "%s\n", kUsage);
    return 1;
  }
  const char* command = argv[1];
  for (const Command& c : kCommands) {
    if (std::strcmp(command, c.name) == 0) return c.run(argc, argv);
  }
  if (IsOneOf(command, "--help", "-h") || std::strcmp(command, "help") == 0) {
    std::printf("%s\n", kUsage);
    return 0;
  }
  if (std::strcmp(command, "--version") == 0) {
    std::printf("veltocam %s\n", VELTOCAM_VERSION);
    return 0;
  }
  std::fprintf(stderr, "veltocam: unknown command \"%s\"\n%s\n", command, kUsage);
  return 1;
}
