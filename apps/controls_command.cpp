// controls: the picture controls the driver advertises, read and set as a
// capture application does, through device property requests to the port.
// Settings go to the camera and the driver keeps them in the registry, which
// the system directory carries to the next run.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "apps/command_line.h"
#include "apps/commands.h"
#include "apps/system_store.h"
#include "client/property_client.h"
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

enum class SetKind { kProcAmp, kCustom, kCompression };

SetKind KindOf(const GUID& set) {
  if (set == PROPSETID_VIDCAP_VIDEOPROCAMP) return SetKind::kProcAmp;
  if (set == PROPSETID_VIDCAP_VIDEOCOMPRESSION) return SetKind::kCompression;
  return SetKind::kCustom;  // the driver's own set, under whatever GUID it has now
}

const char* SetName(SetKind kind) {
  switch (kind) {
    case SetKind::kProcAmp:
      return "procamp";
    case SetKind::kCompression:
      return "compression";
    default:
      return "custom";
  }
}

std::string PropertyName(const client::PropertyInfo& p) {
  static const char* const kProcAmp[] = {"brightness", "contrast", "hue", "saturation",
                                         "sharpness"};
  static const char* const kCompression[] = {"compression-caps", "keyframe-rate",
                                             "pframes-per-keyframe", "quality"};
  static const char* const kCustom[] = {"custom-0",        "snapshots",    "custom-2",
                                        "custom-3",        "custom-4",     "awb-mode",
                                        "packet-size-max", "custom-7",     "audio-input",
                                        "custom-9",        "banding-type", "poll-snapshot-button",
                                        "registry-write",  "flip"};
  switch (KindOf(p.set)) {
    case SetKind::kProcAmp:
      if (p.id < std::size(kProcAmp)) return kProcAmp[p.id];
      break;
    case SetKind::kCompression:
      if (p.id < std::size(kCompression)) return kCompression[p.id];
      break;
    default:
      if (p.id < std::size(kCustom)) return kCustom[p.id];
      break;
  }
  return std::string(SetName(KindOf(p.set))) + "-" + std::to_string(p.id);
}

// Where the value lives in the property's record.
std::size_t ValueOffset(const client::PropertyInfo& p) {
  switch (KindOf(p.set)) {
    case SetKind::kProcAmp:
      return offsetof(KSPROPERTY_VIDEOPROCAMP_S, Value);
    case SetKind::kCompression:
      return p.id == KSPROPERTY_VIDEOCOMPRESSION_GETINFO
                 ? offsetof(KSPROPERTY_VIDEOCOMPRESSION_GETINFO_S, Capabilities)
                 : offsetof(KSPROPERTY_VIDEOCOMPRESSION_S, Value);
    default:
      return 28;  // the custom set's value word
  }
}

LONG ValueOf(const std::vector<std::uint8_t>& record, std::size_t offset) {
  LONG value = 0;
  if (offset + sizeof value <= record.size()) std::memcpy(&value, record.data() + offset, 4);
  return value;
}

struct Control {
  client::PropertyInfo info;
  std::string name;
  std::optional<LONG> value;  // the driver's answer
};

struct Options {
  std::vector<std::pair<std::string, LONG>> sets;
  bool json = false;
  std::filesystem::path system;
};

Options ParseOptions(int argc, char** argv) {
  CommandLine line(argc, argv, 2);
  Options o;
  o.json = line.TakeSwitch("json");
  o.system = TakeSystemDirectory(line);
  while (auto assignment = line.Take("set")) {
    const std::size_t equals = assignment->find('=');
    if (equals == std::string::npos || equals == 0) {
      throw UsageError("--set: expected NAME=VALUE, got \"" + *assignment + "\"");
    }
    const std::string name = assignment->substr(0, equals);
    const long value =
        ParseInteger(assignment->substr(equals + 1), "--set " + name, INT32_MIN, UINT32_MAX);
    o.sets.emplace_back(name, static_cast<LONG>(static_cast<std::uint32_t>(value)));
  }
  if (!line.Rest().empty()) throw UsageError("unexpected argument " + line.Rest()[0]);
  return o;
}

std::string RangeText(const client::PropertyInfo& p) {
  if (!p.range) return "any 32-bit value";
  return std::to_string(p.range->Bounds.SignedMinimum) + ".." +
         std::to_string(p.range->Bounds.SignedMaximum) + " in steps of " +
         std::to_string(p.range->SteppingDelta);
}

// What went wrong with the settings, as lines for the user: names that are
// no control's, or values the driver refused.
struct Refusals {
  std::vector<std::string> lines;
  bool badName = false;
};

// Sends each setting.
Refusals Apply(client::PropertyClient& properties, std::vector<Control>& controls,
               const Options& o) {
  Refusals refusals;
  for (const auto& [name, value] : o.sets) {
    auto it = std::find_if(controls.begin(), controls.end(),
                           [&](const Control& c) { return c.name == name; });
    if (it == controls.end() || !it->info.writable) {
      refusals.lines.push_back(name + (it == controls.end() ? ": no such control" : ": read only"));
      refusals.badName = true;
      continue;
    }
    std::vector<std::uint8_t> record(it->info.dataSize, 0);
    std::memcpy(record.data() + ValueOffset(it->info), &value, sizeof value);
    const client::PropertyResult result = properties.Set(it->info, &record);
    if (!NT_SUCCESS(result.status)) {
      char status[16];
      std::snprintf(status, sizeof status, "0x%08X", static_cast<unsigned>(result.status));
      refusals.lines.push_back(name + " = " + std::to_string(value) +
                               " refused by the driver (status " + status + "); " + name +
                               " takes " + RangeText(it->info));
    }
  }
  return refusals;
}

void Read(client::PropertyClient& properties, std::vector<Control>& controls) {
  for (Control& c : controls) {
    if (!c.info.readable) continue;
    std::vector<std::uint8_t> record(c.info.dataSize, 0);
    const client::PropertyResult result = properties.Get(c.info, &record);
    if (NT_SUCCESS(result.status) && result.bytes >= c.info.dataSize) {
      c.value = ValueOf(record, ValueOffset(c.info));
    }
  }
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
    std::printf("%-12s %-21s %3u %-12s %5s %8s %11s\n", SetName(KindOf(c.info.set)), c.name.c_str(),
                c.info.id, range.c_str(), r ? std::to_string(r->SteppingDelta).c_str() : "-",
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
        i == 0 ? "" : ",", SetName(KindOf(c.info.set)), c.name.c_str(), c.info.id,
        c.info.readable ? "true" : "false", c.info.writable ? "true" : "false");
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
      for (const client::PropertyInfo& info : properties.Properties()) {
        controls.push_back({info, PropertyName(info), std::nullopt});
      }
      refusals = Apply(properties, controls, o);
      Read(properties, controls);
      port.RemoveDevice(device);
    }
  }
  host::ShutdownKernel();
  if (!NT_SUCCESS(status)) {
    std::fprintf(stderr, "veltocam: the camera did not start (status 0x%08X)\n",
                 static_cast<unsigned>(status));
    return 1;
  }
  if (!refusals.lines.empty()) {
    // Nothing of this run is kept: the saved registry stays as it was.
    for (const std::string& line : refusals.lines) {
      std::fprintf(stderr, "veltocam: %s\n", line.c_str());
    }
    return refusals.badName ? 1 : 2;
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
