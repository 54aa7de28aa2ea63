// controls: the picture controls the driver advertises, read and set as a
// capture application does, through device property requests to the port.
// Settings go to the camera and the driver keeps them in the registry, which
// the system directory carries to the next run.
#include <cstdio>
#include <string>
#include <vector>

#include "apps/command_line.h"
#include "apps/commands.h"
#include "apps/picture_controls.h"
#include "apps/system_store.h"
#include "driver/driver_entry.h"
#include "platform/host/platform.h"
#include "platform/host/usb_bus.h"
#include "sim/simulated_camera.h"

namespace veltocam::app {
namespace {

constexpr const char* kUsage =
    "usage: veltocam controls [--set NAME=VALUE ...] [--json] [--system DIR]\n"
    "  lists every property the driver advertises: set, name, id, range and\n"
    "  step, default and current value; --set changes one first (repeatable).\n"
    "  A value the driver refuses is reported with its range, exit status 2,\n"
    "  and then nothing is kept.";

struct Options {
  std::vector<Setting> sets;
  bool json = false;
  std::filesystem::path system;
};

Options ParseOptions(int argc, char** argv) {
  CommandLine line(argc, argv, 2);
  Options o;
  o.json = line.TakeSwitch("json");
  o.system = TakeSystemDirectory(line);
  while (auto setting = line.Take("set")) o.sets.push_back(ParseSetting(*setting));
  if (!line.Rest().empty()) throw UsageError("unexpected argument " + line.Rest()[0]);
  return o;
}

std::string Optional(const std::optional<LONG>& value, const char* none) {
  return value ? std::to_string(*value) : none;
}

void PrintText(const std::vector<Control>& controls) {
  std::printf("%-12s %-21s %3s %-12s %5s %8s %11s\n", "set", "name", "id", "range", "step",
              "default", "value");
  for (const Control& c : controls) {
    const auto& r = c.info.range;
    const std::string range =
        r ? std::to_string(r->Bounds.SignedMinimum) + ".." + std::to_string(r->Bounds.SignedMaximum)
          : "-";
    std::printf("%-12s %-21s %3u %-12s %5s %8s %11s\n", c.set, c.name.c_str(), c.info.id,
                range.c_str(), r ? std::to_string(r->SteppingDelta).c_str() : "-",
                Optional(c.info.defaultValue, "-").c_str(), Optional(c.value, "-").c_str());
  }
}

void PrintJson(const std::vector<Control>& controls) {
  std::printf("[");
  for (std::size_t i = 0; i < controls.size(); ++i) {
    const Control& c = controls[i];
    const auto& r = c.info.range;
    std::printf(
        "%s\n  {\"set\": \"%s\", \"name\": \"%s\", \"id\": %u, \"readable\": %s, "
        "\"writable\": %s, ",
        i == 0 ? "" : ",", c.set, c.name.c_str(), c.info.id, c.info.readable ? "true" : "false",
        c.info.writable ? "true" : "false");
    if (r) {
      std::printf("\"minimum\": %d, \"maximum\": %d, \"step\": %u, ", r->Bounds.SignedMinimum,
                  r->Bounds.SignedMaximum, r->SteppingDelta);
    } else {
      std::printf("\"minimum\": null, \"maximum\": null, \"step\": null, ");
    }
    std::printf("\"default\": %s, \"value\": %s}", Optional(c.info.defaultValue, "null").c_str(),
                Optional(c.value, "null").c_str());
  }
  std::printf("\n]\n");
}

}  // namespace

int ControlsCommand(int argc, char** argv) {
  if (WantsHelp(argc, argv, 2)) return ShowUsage(kUsage);
  Options o;
  try {
    o = ParseOptions(argc, argv);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "veltocam: %s\n%s\n", e.what(), kUsage);
    return 1;
  }
  host::ResetPlatform(host::SchedulerMode::Deterministic);
  SystemStore store;
  if (const std::string error = store.Open(o.system); !error.empty()) {
    std::fprintf(stderr, "veltocam: %s\n", error.c_str());
    return 1;
  }
  store.LogDebuggerOutput();

  std::vector<Control> controls;
  Refusals refusals;
  NTSTATUS status;
  {
    sim::SimulatedCamera camera;
    host::UsbBus bus;
    bus.Attach(camera);
    host::StreamClassPort port;
    status = port.LoadDriver(DriverEntry);
    host::PortDevice* device = nullptr;
    if (NT_SUCCESS(status)) status = port.AddDevice(bus.DeviceObject(), &device);
    if (NT_SUCCESS(status)) {
      client::PropertyClient properties(port, device);
      PictureControls picture(properties);
      refusals = picture.Apply(o.sets);
      picture.ReadAll();
      controls = picture.controls();
      port.RemoveDevice(device);
    }
  }
  host::ShutdownKernel();
  if (!NT_SUCCESS(status)) {
    std::fprintf(stderr, "veltocam: the camera did not start (status 0x%08X)\n",
                 static_cast<unsigned>(status));
    return 1;
  }
  if (!refusals.empty()) {
    // Nothing of this run is kept: the saved registry stays as it was.
    for (const std::string& line : refusals.lines) {
      std::fprintf(stderr, "veltocam: %s\n", line.c_str());
    }
    return refusals.unknownName ? 1 : 2;
  }
  if (o.json) {
    PrintJson(controls);
  } else {
    PrintText(controls);
  }
  if (const std::string error = store.Save(); !error.empty()) {
    std::fprintf(stderr, "veltocam: %s\n", error.c_str());
    return 1;
  }
  return 0;
}

}  // namespace veltocam::app
