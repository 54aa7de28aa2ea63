// capture: the simulated camera on the host USB bus, the driver bringing it up
// and streaming from it, and the pictures written to a file.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "apps/bulk_button.h"
#include "apps/camera_session.h"
#include "apps/capture_controls.h"
#include "apps/command_line.h"
#include "apps/commands.h"
#include "apps/image_files.h"
#include "apps/system_store.h"
#include "platform/host/files_host.h"
#include "platform/host/platform.h"
#include "platform/host/registry_store.h"
#include "platform/host/trace.h"
#include "platform/host/usb_bus.h"
#include "sim/bulk_camera.h"
#include "sim/camera_model.h"
#include "sim/frame_streamer.h"
#include "sim/simulated_camera.h"

namespace veltocam::app {
namespace {

constexpr const char* kUsage =
    "usage: veltocam capture [--frames N] [--size WxH] [--format i420|iyuv|rgb24] [--still]\n"
    "                        [--camera iso|bulk] [--scene bars|moving|FILE.png] [--qtable N]\n"
    "                        [--raw] [--loss P] [--seed S] [--suspend-at N] [--unplug-at N]\n"
    "                        [--realtime] [--trace] [--set NAME=VALUE ...] [--snapshot K]\n"
    "                        [--press-button-at N] [--system DIR] -o OUT\n"
    "  OUT ends in .y4m (I420 and IYUV) or .png (one numbered file per frame);\n"
    "  -o - writes Y4M to standard output\n"
    "  the capture stream offers I420 and RGB24 at 640x480, 352x288, 320x240, 176x144,\n"
    "  160x120; this camera exposes no still stream, so --still is refused\n"
    "  --camera bulk: the model that streams over a bulk pipe\n"
    "  --set sends a picture control (veltocam controls lists them) first;\n"
    "  --snapshot asks the driver to save the next K pictures to its snapshot\n"
    "  file (veltocam snapshot shows it)\n"
    "  --press-button-at presses the camera's snapshot button after frame N: the\n"
    "  tool polls it every frame (iso), or the press arrives as the snapshot\n"
    "  device event over the interrupt pipe (bulk)\n"
    "  DIR keeps the driver's files and registry between runs, and serves one\n"
    "  run at a time (default: the user's state directory, veltocam)\n"
    "  exit status: 0 done, 1 error, 2 a setting refused, 3 the camera was unplugged";

constexpr int kExitUnplugged = 3;

struct CaptureOptions {
  int frames = 90;
  StreamFormat format;
  bool still = false;
  bool bulk = false;      // --camera bulk
  int pressButtonAt = 0;  // the bulk camera's button; 0: never
  std::string scene = "moving";
  long qtable = -1;  // the camera model's own setting
  bool raw = false;
  double loss = 0;
  std::uint32_t seed = 1;
  int suspendAt = 0;  // 0: never
  int unplugAt = 0;   // 0: never
  bool realtime = false;
  bool trace = false;  // the driver's debugger output on stderr instead of a log file
  std::filesystem::path system;
  CaptureControlOptions controls;
  std::string output;
  bool toStdout() const { return output == "-"; }
};

CaptureOptions ParseOptions(int argc, char** argv) {
  CommandLine line(argc, argv, 2);
  CaptureOptions o;
  o.frames =
      static_cast<int>(ParseInteger(line.Take("frames").value_or("90"), "--frames", 1, 1000000));
  o.still = line.TakeSwitch("still");
  const Size size = ParseSize(line.Take("size").value_or(o.still ? "320x240" : "640x480"));
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
  const std::string camera = line.Take("camera").value_or("iso");
  if (camera != "iso" && camera != "bulk") throw UsageError("--camera: iso or bulk");
  o.bulk = camera == "bulk";
  if (auto n = o.bulk ? line.Take("press-button-at") : std::nullopt) {
    o.pressButtonAt = static_cast<int>(ParseInteger(*n, "--press-button-at", 1, 1000000));
  }
  if (auto p = line.Take("loss")) o.loss = ParseFraction(*p, "--loss");
  if (auto s = line.Take("seed"))
    o.seed = static_cast<std::uint32_t>(ParseInteger(*s, "--seed", 0, 0x7FFFFFFF));
  if (auto n = line.Take("suspend-at"))
    o.suspendAt = static_cast<int>(ParseInteger(*n, "--suspend-at", 1, 1000000));
  if (auto n = line.Take("unplug-at"))
    o.unplugAt = static_cast<int>(ParseInteger(*n, "--unplug-at", 1, 1000000));
  o.realtime = line.TakeSwitch("realtime");
  o.trace = line.TakeSwitch("trace");
  o.system = TakeSystemDirectory(line);
  o.controls = TakeCaptureControlOptions(line);
  o.output = line.Take("output", "o").value_or("");
  if (!line.Rest().empty()) throw UsageError("unexpected argument " + line.Rest()[0]);
  if (o.output.empty()) throw UsageError("-o OUT is required");
  const OutputKind kind = o.toStdout() ? OutputKind::kY4m : OutputKindOf(o.output);
  if (kind != OutputKind::kY4m && kind != OutputKind::kPng) {
    throw UsageError("-o: the output must end in .y4m or .png, or be - for standard output");
  }
  if (kind == OutputKind::kY4m && o.format.compression == kRgb24) {
    throw UsageError("-o: RGB24 pictures are written as .png files");
  }
  if (o.controls.snapshots > 0 && o.format.compression == kRgb24) {
    throw UsageError("--snapshot: the driver saves I420 and IYUV pictures only");
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

// What a capture run delivered, for the progress line and the summary.
struct Progress {
  int delivered = 0;
  int repeats = 0;
  LONGLONG drops = 0;
  LONGLONG streamTime = 0;
  bool unplugged = false;
  int returned = 0;      // reads that were at the driver when the camera went
  int lastPictures = 0;  // of those, the ones that came back with a picture
  BulkButton* button = nullptr;
};

const char* FormatName(ULONG compression) {
  return compression == kRgb24 ? "RGB24" : compression == kFourccIyuv ? "IYUV" : "I420";
}

std::string WriteFrame(const CaptureOptions& o, const DeliveredFrame& frame, int number,
                       Y4mWriter* y4m) {
  if (o.toStdout() || OutputKindOf(o.output) == OutputKind::kY4m) {
    return y4m->Write(frame.data.data(), frame.data.size());
  }
  if (o.format.compression == kRgb24) {
    return WriteRgb24Png(NumberedPath(o.output, number), o.format, frame.data);
  }
  Picture picture{static_cast<int>(o.format.width), static_cast<int>(o.format.height),
                  ChromaLayout::k420, frame.data};
  return WritePicturePng(NumberedPath(o.output, number), picture);
}

// Counts a delivered picture and writes it; empty on success.
std::string Deliver(const CaptureOptions& o, const DeliveredFrame& frame, Y4mWriter* y4m,
                    Progress* p) {
  ++p->delivered;
  p->repeats += frame.damaged ? 1 : 0;
  p->drops = frame.dropCount;
  p->streamTime = frame.presentationTime;
  return WriteFrame(o, frame, p->delivered, y4m);
}

// After an unplug no read is queued again, and every read still at the
// driver comes back: one with a picture the camera sent before it went is
// kept, the others come back cancelled.
std::string CollectAfterUnplug(const CaptureOptions& o, CameraSession& session, Y4mWriter* y4m,
                               Progress* p) {
  session.StopQueueingReads();
  DeliveredFrame frame;
  std::string error;
  while (session.NextFrame(&frame, session.ReadsAtDriver() > 0 ? host::Seconds(10) : 0)) {
    ++p->returned;
    if (!NT_SUCCESS(frame.status) || frame.data.empty()) continue;
    ++p->lastPictures;
    if (error.empty() && p->delivered < o.frames) error = Deliver(o, frame, y4m, p);
  }
  return error;
}

// Reads pictures until the count is reached, the camera is unplugged or an
// error ends the run; empty on success.
std::string Capture(const CaptureOptions& o, CameraSession& session, host::UsbBus& bus,
                    CaptureControls& controls, Y4mWriter* y4m, Progress* p) {
  const bool terminal = isatty(2) != 0;
  const auto started = std::chrono::steady_clock::now();
  DeliveredFrame frame;
  std::string error;
  while (error.empty() && p->delivered < o.frames) {
    if (!session.NextFrame(&frame, host::Seconds(10))) return "no picture from the camera for 10 s";
    if (!NT_SUCCESS(frame.status)) continue;
    error = Deliver(o, frame, y4m, p);
    controls.AfterPicture(p->delivered);
    if (terminal) {
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
      std::fprintf(stderr, "\rframes %d/%d  %.1f fps  drops %lld  repeats %d ", p->delivered,
                   o.frames, seconds > 0 ? p->delivered / seconds : 0.0,
                   static_cast<long long>(p->drops), p->repeats);
    }
    if (p->button != nullptr) p->button->AfterPicture(p->delivered);
    if (p->delivered == o.suspendAt && p->delivered < o.frames) {
      const NTSTATUS status = session.Suspend();
      if (!NT_SUCCESS(status)) error = "the camera did not come back from sleep";
    }
    if (error.empty() && p->delivered == o.unplugAt && p->delivered < o.frames) {
      bus.Detach();
      p->unplugged = true;
      error = CollectAfterUnplug(o, session, y4m, p);
      break;
    }
  }
  if (terminal) std::fputc('\n', stderr);
  return error;
}

// The host platform with the system directory's registry (the camera
// model's settings the first time); the settings of this run only.
std::string PrepareHost(const CaptureOptions& o, SystemStore* store) {
  host::ResetPlatform(o.realtime ? host::SchedulerMode::RealTime
                                 : host::SchedulerMode::Deterministic);
  if (std::string error = store->Open(o.system); !error.empty()) return error;
  if (!o.trace) store->LogDebuggerOutput();
  const std::string control = std::string("\\Registry\\MACHINE\\SOFTWARE\\") +
                              std::string(sim::kCameraProductName) + "\\CONTROL";
  // The saved registry keeps its own values of these two.
  if (o.qtable >= 0) store->SetForThisRun(control, "QTableIndex", static_cast<ULONG>(o.qtable));
  if (o.raw) store->SetForThisRun(control, "IMAGETYPE", sim::FrameStreamer::kRawImageType);
  return {};
}

void PrintSummary(const CaptureOptions& o, const Progress& p, double seconds,
                  const std::string& controls) {
  std::FILE* out = o.toStdout() ? stderr : stdout;
  std::fprintf(out,
               "%d frames of %ux%u %s to %s in %.2f s (%.1f fps); camera time %.2f s, "
               "%lld dropped, %d repeated%s\n",
               p.delivered, o.format.width, o.format.height, FormatName(o.format.compression),
               o.toStdout() ? "standard output" : o.output.c_str(), seconds,
               seconds > 0 ? p.delivered / seconds : 0.0, static_cast<double>(p.streamTime) / 1e7,
               static_cast<long long>(p.drops), p.repeats, controls.c_str());
  if (p.unplugged) {
    std::fprintf(stderr,
                 "veltocam: the camera was unplugged after frame %d; the %d reads still queued "
                 "came back, %d with a picture sent before the unplug; the output holds the %d "
                 "frames delivered\n",
                 o.unplugAt, p.returned, p.lastPictures, p.delivered);
  }
  if (p.button != nullptr && !p.button->Summary().empty()) {
    std::fprintf(out, "%s\n", p.button->Summary().c_str());
  }
}

// Opens the stream and runs the capture; the exit status.
int Run(const CaptureOptions& o, std::unique_ptr<sim::Scene> scene, SystemStore& store) {
  sim::StreamFaults faults;
  faults.seed = o.seed;
  faults.loss = o.loss;
  sim::FrameStreamer streamer(std::move(scene), faults);
  sim::SimulatedCamera isoCamera;
  sim::BulkCamera bulkCamera;
  sim::SimulatedCamera& camera = o.bulk ? bulkCamera : isoCamera;
  if (o.bulk) {
    bulkCamera.SetFrameSource(&streamer);
  } else {
    isoCamera.SetPacketSource(&streamer);
  }
  host::UsbBus bus;
  bus.Attach(camera);
  CameraSession session(bus.DeviceObject());
  NTSTATUS result = session.Start();
  if (!NT_SUCCESS(result)) {
    std::fprintf(stderr, "veltocam: the camera did not start (status 0x%08X)\n",
                 static_cast<unsigned>(result));
    return 1;
  }
  CaptureControls controls(session.Port(), session.PortDevice(), camera, o.controls);
  // A refused setting ends the run before it streams, and nothing is kept.
  if (const Refusals refusals = controls.ApplySettings(); !refusals.empty()) {
    for (const std::string& line : refusals.lines) {
      std::fprintf(stderr, "veltocam: %s\n", line.c_str());
    }
    session.Remove();
    return refusals.unknownName ? 1 : 2;
  }
  std::string why;
  result = session.Open(o.still ? kStillStream : kCaptureStream, o.format, 4, &why);
  if (result == STATUS_NO_MATCH) {
    std::fprintf(stderr, "veltocam: the %s stream does not offer %s %ux%u; %s\n",
                 o.still ? "still" : "capture", FormatName(o.format.compression), o.format.width,
                 o.format.height, why.c_str());
    return 1;
  }
  if (!NT_SUCCESS(result)) {
    std::fprintf(stderr, "veltocam: the stream did not start (status 0x%08X)\n",
                 static_cast<unsigned>(result));
    return 1;
  }
  BulkButton button(bulkCamera, session, o.pressButtonAt);
  Y4mWriter y4m;
  std::string error;
  if (o.toStdout() || OutputKindOf(o.output) == OutputKind::kY4m) {
    const int rate = static_cast<int>(10'000'000 / session.FrameInterval());
    error = y4m.Open(o.output, static_cast<int>(o.format.width), static_cast<int>(o.format.height),
                     ChromaLayout::k420, rate);
  }
  const auto started = std::chrono::steady_clock::now();
  Progress progress;
  progress.button = o.bulk ? &button : nullptr;
  if (error.empty()) error = Capture(o, session, bus, controls, &y4m, &progress);
  session.Remove();
  PrintSummary(o, progress,
               std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(),
               controls.Summary());
  // What the driver stored is kept whatever became of the pictures.
  const std::string saved = store.Save();
  for (const std::string& problem : {error, saved}) {
    if (!problem.empty()) std::fprintf(stderr, "veltocam: %s\n", problem.c_str());
  }
  if (!error.empty() || !saved.empty()) return 1;
  return progress.unplugged ? kExitUnplugged : 0;
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
  SystemStore store;
  error = PrepareHost(o, &store);
  int status = 1;
  if (error.empty()) {
    status = Run(o, std::move(scene), store);
  } else {
    std::fprintf(stderr, "veltocam: %s\n", error.c_str());
  }
  host::ShutdownKernel();
  return status;
}

}  // namespace veltocam::app
