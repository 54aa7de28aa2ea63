// capture: the simulated camera on the host USB bus, the driver bringing it up
// and streaming from it, and the pictures written to a file.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "apps/capture_controls.h"
#include "apps/command_line.h"
#include "apps/commands.h"
#include "apps/data_path.h"
#include "apps/image_files.h"
#include "apps/system_store.h"
#include "platform/host/files_host.h"
#include "platform/host/platform.h"
#include "platform/host/registry_store.h"
#include "platform/host/trace.h"
#include "platform/host/usb_bus.h"
#include "sim/camera_model.h"
#include "sim/frame_streamer.h"
#include "sim/simulated_camera.h"

namespace veltocam::app {
namespace {

constexpr const char* kUsage =
    "usage: veltocam capture [--frames N] [--size WxH] [--format i420|iyuv|rgb24]\n"
    "                        [--scene bars|moving|FILE.png] [--qtable N] [--raw]\n"
    "                        [--loss P] [--seed S] [--realtime] [--trace]\n"
    "                        [--set NAME=VALUE ...] [--snapshot K]\n"
    "                        [--press-button-at N] [--system DIR] -o OUT\n"
    "  OUT ends in .y4m (I420 and IYUV) or .png (one numbered file per frame)\n"
    "  sizes: 640x480, 352x288, 320x240, 176x144, 160x120\n"
    "  --set sends a picture control (veltocam controls lists them) first;\n"
    "  --snapshot asks the driver to save the next K pictures to its snapshot\n"
    "  file (veltocam snapshot shows it); --press-button-at presses the\n"
    "  camera's snapshot button after frame N (the tool polls it every frame)\n"
    "  DIR keeps the driver's files and registry between runs (default: the\n"
    "  user's state directory, veltocam)";

struct CaptureOptions {
  int frames = 90;
  StreamFormat format;
  std::string scene = "moving";
  long qtable = -1;  // the camera model's own setting
  bool raw = false;
  double loss = 0;
  std::uint32_t seed = 1;
  bool realtime = false;
  bool trace = false;  // the driver's debugger output on stderr instead of a log file
  std::filesystem::path system;
  CaptureControlOptions controls;
  std::string output;
};

CaptureOptions ParseOptions(int argc, char** argv) {
  CommandLine line(argc, argv, 2);
  CaptureOptions o;
  o.frames =
      static_cast<int>(ParseInteger(line.Take("frames").value_or("90"), "--frames", 1, 1000000));
  const Size size = ParseSize(line.Take("size").value_or("640x480"));
  const bool supported =
      (size.width == 640 && size.height == 480) || (size.width == 352 && size.height == 288) ||
      (size.width == 320 && size.height == 240) || (size.width == 176 && size.height == 144) ||
      (size.width == 160 && size.height == 120);
  if (!supported)
    throw UsageError("--size: the camera offers 640x480, 352x288, 320x240, 176x144 and 160x120");
  o.format.width = static_cast<ULONG>(size.width);
  o.format.height = static_cast<ULONG>(size.height);
  const std::string format = line.Take("format").value_or("i420");
  if (format == "i420") {
    o.format.compression = kFourccI420;
  } else if (format == "iyuv") {
    o.format.compression = kFourccIyuv;
  } else if (format == "rgb24") {
    o.format.compression = kRgb24;
  } else {
    throw UsageError("--format: i420, iyuv or rgb24");
  }
  o.scene = line.Take("scene").value_or("moving");
  if (auto q = line.Take("qtable")) o.qtable = ParseInteger(*q, "--qtable", 0, 9);
  o.raw = line.TakeSwitch("raw");
  if (auto p = line.Take("loss")) o.loss = ParseFraction(*p, "--loss");
  if (auto s = line.Take("seed"))
    o.seed = static_cast<std::uint32_t>(ParseInteger(*s, "--seed", 0, 0x7FFFFFFF));
  o.realtime = line.TakeSwitch("realtime");
  o.trace = line.TakeSwitch("trace");
  o.system = TakeSystemDirectory(line);
  o.controls = TakeCaptureControlOptions(line);
  o.output = line.Take("output", "o").value_or("");
  if (!line.Rest().empty()) throw UsageError("unexpected argument " + line.Rest()[0]);
  if (o.output.empty()) throw UsageError("-o OUT is required");
  const OutputKind kind = OutputKindOf(o.output);
  if (kind != OutputKind::kY4m && kind != OutputKind::kPng) {
    throw UsageError("-o: the output must end in .y4m or .png");
  }
  if (kind == OutputKind::kY4m && o.format.compression == kRgb24) {
    throw UsageError("-o: RGB24 pictures are written as .png files");
  }
  return o;
}

std::unique_ptr<sim::Scene> MakeScene(const std::string& name, std::string* error) {
  if (name == "bars") return sim::MakeColourBars();
  if (name == "moving") return sim::MakeMovingScene();
  int w = 0, h = 0;
  std::vector<std::uint8_t> rgb;
  *error = ReadPngRgb(name, &w, &h, &rgb);
  return error->empty() ? sim::MakeStillPicture(w, h, std::move(rgb)) : nullptr;
}

// The n-th picture's file name: OUT with the number before the extension.
std::string NumberedPath(const std::string& path, int n) {
  const std::size_t dot = path.rfind('.');
  char number[16];
  std::snprintf(number, sizeof number, "-%05d", n);
  return path.substr(0, dot) + number + path.substr(dot);
}

// RGB24 pictures come bottom-up in blue, green, red order.
std::string WriteRgb24Png(const std::string& path, const StreamFormat& f,
                          const std::vector<std::uint8_t>& bgr) {
  std::vector<std::uint8_t> rgb(bgr.size());
  const std::size_t row = f.width * 3;
  for (ULONG y = 0; y < f.height; ++y) {
    const std::uint8_t* in = bgr.data() + (f.height - 1 - y) * row;
    std::uint8_t* out = rgb.data() + y * row;
    for (ULONG x = 0; x < f.width; ++x) {
      out[3 * x] = in[3 * x + 2];
      out[3 * x + 1] = in[3 * x + 1];
      out[3 * x + 2] = in[3 * x];
    }
  }
  return WritePng(path, static_cast<int>(f.width), static_cast<int>(f.height), rgb.data(), row);
}

}  // namespace

int CaptureCommand(int argc, char** argv) {
  if (WantsHelp(argc, argv, 2)) return ShowUsage(kUsage);
  CaptureOptions o;
  try {
    o = ParseOptions(argc, argv);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "veltocam: %s\n%s\n", e.what(), kUsage);
    return 1;
  }
  std::string error;
  auto scene = MakeScene(o.scene, &error);
  if (!scene) {
    std::fprintf(stderr, "veltocam: %s\n", error.c_str());
    return 1;
  }

  host::ResetPlatform(o.realtime ? host::SchedulerMode::RealTime
                                 : host::SchedulerMode::Deterministic);
  SystemStore store;
  if (error = store.Open(o.system); !error.empty()) {
    std::fprintf(stderr, "veltocam: %s\n", error.c_str());
    return 1;
  }
  if (!o.trace) store.LogDebuggerOutput();
  const std::string control = std::string("\\Registry\\MACHINE\\SOFTWARE\\") +
                              std::string(sim::kCameraProductName) + "\\CONTROL";
  // These two are for this run only; the saved registry keeps its own.
  if (o.qtable >= 0) store.SetForThisRun(control, "QTableIndex", static_cast<ULONG>(o.qtable));
  if (o.raw) store.SetForThisRun(control, "IMAGETYPE", sim::FrameStreamer::kRawImageType);

  sim::StreamFaults faults;
  faults.seed = o.seed;
  faults.loss = o.loss;
  sim::FrameStreamer streamer(std::move(scene), faults);
  sim::SimulatedCamera camera;
  camera.SetPacketSource(&streamer);
  int status = 0;
  {
    host::UsbBus bus;
    bus.Attach(camera);
    DataPath path(bus.DeviceObject());
    NTSTATUS result = path.InitializeDevice();
    std::unique_ptr<CaptureControls> controls;
    if (NT_SUCCESS(result)) {
      controls =
          std::make_unique<CaptureControls>(path.Port(), path.PortDevice(), camera, o.controls);
      // A refused setting ends the run before it streams, and nothing is kept.
      if (const Refusals refusals = controls->ApplySettings(); !refusals.empty()) {
        for (const std::string& line : refusals.lines) {
          std::fprintf(stderr, "veltocam: %s\n", line.c_str());
        }
        return refusals.unknownName ? 1 : 2;
      }
      result = path.OpenVideoStream(o.format);
    }
    if (!NT_SUCCESS(result)) {
      std::fprintf(stderr, "veltocam: the camera did not start (status 0x%08X)\n",
                   static_cast<unsigned>(result));
      return 1;
    }

    Y4mWriter y4m;
    if (OutputKindOf(o.output) == OutputKind::kY4m) {
      error = y4m.Open(o.output, static_cast<int>(o.format.width),
                       static_cast<int>(o.format.height), ChromaLayout::k420, 30);
    }
    const bool terminal = isatty(2) != 0;
    const auto started = std::chrono::steady_clock::now();
    int delivered = 0, repeats = 0;
    LONGLONG drops = 0;
    DeliveredFrame frame;
    while (error.empty() && delivered < o.frames) {
      if (!path.NextFrame(&frame, host::Seconds(10))) {
        error = "no picture from the camera for 10 seconds";
        break;
      }
      if (!NT_SUCCESS(frame.status)) continue;
      ++delivered;
      controls->AfterPicture(delivered);
      repeats += frame.damaged ? 1 : 0;
      drops = frame.dropCount;
      if (OutputKindOf(o.output) == OutputKind::kY4m) {
        error = y4m.Write(frame.data.data(), frame.data.size());
      } else if (o.format.compression == kRgb24) {
        error = WriteRgb24Png(NumberedPath(o.output, delivered), o.format, frame.data);
      } else {
        Picture picture{static_cast<int>(o.format.width), static_cast<int>(o.format.height),
                        ChromaLayout::k420, frame.data};
        error = WritePicturePng(NumberedPath(o.output, delivered), picture);
      }
      if (terminal) {
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        std::fprintf(stderr, "\rframes %d/%d  %.1f fps  drops %lld  repeats %d ", delivered,
                     o.frames, seconds > 0 ? delivered / seconds : 0.0,
                     static_cast<long long>(drops), repeats);
      }
    }
    if (terminal) std::fputc('\n', stderr);
    path.CloseVideoStream();
    path.UninitializeDevice();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const double streamSeconds = static_cast<double>(frame.presentationTime) / 1e7;
    std::printf(
        "%d frames of %ux%u %s to %s in %.2f s (%.1f fps); camera time %.2f s, "
        "%lld dropped, %d repeated%s\n",
        delivered, o.format.width, o.format.height,
        o.format.compression == kRgb24        ? "RGB24"
        : o.format.compression == kFourccIyuv ? "IYUV"
                                              : "I420",
        o.output.c_str(), seconds, seconds > 0 ? delivered / seconds : 0.0, streamSeconds,
        static_cast<long long>(drops), repeats, controls->Summary().c_str());
    if (!error.empty()) {
      std::fprintf(stderr, "veltocam: %s\n", error.c_str());
      status = 1;
    }
    if (const std::string saved = store.Save(); !saved.empty()) {
      std::fprintf(stderr, "veltocam: %s\n", saved.c_str());
      status = 1;
    }
  }
  host::ShutdownKernel();
  return status;
}

}  // namespace veltocam::app
