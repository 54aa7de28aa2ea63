#include "apps/picture_controls.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "apps/command_line.h"

namespace veltocam::app {
namespace {

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

std::string RangeText(const client::PropertyInfo& p) {
  if (!p.range) return "any 32-bit value";
  return std::to_string(p.range->Bounds.SignedMinimum) + ".." +
         std::to_string(p.range->Bounds.SignedMaximum) + " in steps of " +
         std::to_string(p.range->SteppingDelta);
}

}  // namespace

Setting ParseSetting(const std::string& text) {
  const std::size_t equals = text.find('=');
  if (equals == std::string::npos || equals == 0) {
    throw UsageError("--set: expected NAME=VALUE, got \"" + text + "\"");
  }
  const std::string name = text.substr(0, equals);
  const long value = ParseInteger(text.substr(equals + 1), "--set " + name, INT32_MIN, UINT32_MAX);
  return {name, static_cast<LONG>(static_cast<std::uint32_t>(value))};
}

PictureControls::PictureControls(client::PropertyClient& properties) : properties_(properties) {
  for (const client::PropertyInfo& info : properties_.Properties()) {
    controls_.push_back({info, PropertyName(info), SetName(KindOf(info.set)), std::nullopt});
  }
}

Control* PictureControls::Find(const std::string& name) {
  auto it = std::find_if(controls_.begin(), controls_.end(),
                         [&](const Control& c) { return c.name == name && c.info.writable; });
  return it == controls_.end() ? nullptr : &*it;
}

client::PropertyResult PictureControls::Send(Control& control, LONG value) {
  std::vector<std::uint8_t> record(control.info.dataSize, 0);
  const std::size_t offset = ValueOffset(control.info);
  if (offset + sizeof value <= record.size()) {
    std::memcpy(record.data() + offset, &value, sizeof value);
  }
  return properties_.Set(control.info, &record);
}

Refusals PictureControls::Apply(const std::vector<Setting>& settings) {
  Refusals refusals;
  for (const auto& [name, value] : settings) {
    Control* control = Find(name);
    if (control == nullptr) {
      refusals.lines.push_back(name + ": no control of that name can be set");
      refusals.unknownName = true;
      continue;
    }
    const client::PropertyResult result = Send(*control, value);
    if (!NT_SUCCESS(result.status)) {
      char line[160];
      std::snprintf(line, sizeof line, "%s = %d refused by the driver (status 0x%08X); %s takes %s",
                    name.c_str(), value, static_cast<unsigned>(result.status), name.c_str(),
                    RangeText(control->info).c_str());
      refusals.lines.emplace_back(line);
    }
  }
  return refusals;
}

bool PictureControls::Set(const std::string& name, LONG value) {
  Control* control = Find(name);
  return control != nullptr && NT_SUCCESS(Send(*control, value).status);
}

void PictureControls::ReadAll() {
  for (Control& c : controls_) {
    if (!c.info.readable) continue;
    std::vector<std::uint8_t> record(c.info.dataSize, 0);
    const client::PropertyResult result = properties_.Get(c.info, &record);
    const std::size_t offset = ValueOffset(c.info);
    if (NT_SUCCESS(result.status) && result.bytes >= c.info.dataSize &&
        offset + sizeof(LONG) <= record.size()) {
      LONG value = 0;
      std::memcpy(&value, record.data() + offset, sizeof value);
      c.value = value;
    }
  }
}

}  // namespace veltocam::app
