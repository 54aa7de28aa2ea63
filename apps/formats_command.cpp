// veltocam formats: the streams and formats the driver offers, as it answers
// a capture client: the driver is loaded, the simulated camera started, and
// every listed format is put to the driver as a data range.
#include <cstdio>
#include <string>

#include "apps/command_line.h"
#include "apps/commands.h"
#include "apps/formats_report.h"
#include "apps/system_store.h"
#include "client/capture_client.h"
#include "driver/driver_entry.h"
#include "platform/host/platform.h"
#include "platform/host/usb_bus.h"
#include "sim/simulated_camera.h"

namespace veltocam::app {
namespace {

constexpr const char* kUsage =
    "usage: veltocam formats [--json] [--system DIR]\n"
    "  lists each stream's formats in list order as the driver answers them:\n"
    "  FOURCC, width, height, frame interval (100 ns) and frames per second, sample size;\n"
    "  the driver runs on the registry and files of the system directory, as for capture";

// The driver's answer to the listed format put to it as a client's range.
FormatAnswer AskDriver(client::CaptureClient& capture, ULONG stream,
                       const client::FormatInfo& listed) {
  FormatAnswer answer{listed, STATUS_SUCCESS};
  std::vector<std::uint8_t> format;
  const KS_DATARANGE_VIDEO range = client::CaptureClient::RangeFor(listed);
  answer.status = capture.Intersect(stream, range.DataRange, &format);
  if (NT_SUCCESS(answer.status)) {
    const auto* video = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data());
    const KS_BITMAPINFOHEADER& bitmap = video->VideoInfoHeader.bmiHeader;
    answer.format.width = bitmap.biWidth;
    answer.format.height = bitmap.biHeight;
    answer.format.compression = bitmap.biCompression;
    answer.format.frameInterval = video->VideoInfoHeader.AvgTimePerFrame;
    answer.format.sampleSize = video->DataFormat.SampleSize;
  }
  return answer;
}

// Loads the driver, starts the camera and asks it; empty on failure.
NTSTATUS Collect(std::vector<StreamAnswers>* result) {
  sim::SimulatedCamera camera;
  host::UsbBus bus;
  bus.Attach(camera);
  host::StreamClassPort port;
  NTSTATUS status = port.LoadDriver(DriverEntry);
  host::PortDevice* device = nullptr;
  if (NT_SUCCESS(status)) status = port.AddDevice(bus.DeviceObject(), &device);
  if (!NT_SUCCESS(status)) return status;
  client::CaptureClient capture(port);
  status = capture.FindDevice();
  for (const client::StreamInfo& stream : capture.Streams()) {
    StreamAnswers answers{stream, {}};
    for (const client::FormatInfo& listed : stream.formats) {
      answers.answers.push_back(AskDriver(capture, stream.number, listed));
    }
    result->push_back(std::move(answers));
  }
  port.RemoveDevice(device);
  return status;
}

}  // namespace

int FormatsCommand(int argc, char** argv) {
  if (WantsHelp(argc, argv, 2)) return ShowUsage(kUsage);
  bool json = false;
  std::filesystem::path system;
  try {
    CommandLine line(argc, argv, 2);
    json = line.TakeSwitch("json");
    system = TakeSystemDirectory(line);
    if (!line.Rest().empty()) throw UsageError("formats takes no arguments");
  } catch (const UsageError& e) {
    std::fprintf(stderr, "veltocam: %s\n%s\n", e.what(), kUsage);
    return 1;
  }
  host::ResetPlatform(host::SchedulerMode::Deterministic);
  SystemStore store;
  if (const std::string error = store.Open(system); !error.empty()) {
    std::fprintf(stderr, "veltocam: %s\n", error.c_str());
    return 1;
  }
  store.LogDebuggerOutput();
  std::vector<StreamAnswers> streams;
  const NTSTATUS status = Collect(&streams);
  host::ShutdownKernel();
  if (!NT_SUCCESS(status)) {
    std::fprintf(stderr, "veltocam: the camera did not start (status 0x%08X)\n",
                 static_cast<unsigned>(status));
    return 1;
  }
  if (json) {
    PrintFormatsJson(stdout, streams);
  } else {
    PrintFormatsText(stdout, streams);
  }
  if (const std::string error = store.Save(); !error.empty()) {
    std::fprintf(stderr, "veltocam: %s\n", error.c_str());
    return 1;
  }
  return 0;
}

}  // namespace veltocam::app
