#include "apps/capture_controls.h"

#include "platform/host/registry_store.h"

namespace veltocam::app {
namespace {

const std::string kModelKey =
    std::string("\\Registry\\MACHINE\\SOFTWARE\\") + sim::kCameraProductName;
const std::string kHwSnapKey = kModelKey + "\\HWSNAP";
const std::string kBufferKey = kModelKey + "\\BUFFER";

// The driver's signal for companion software, which this program is: true
// when it was raised, and then it is taken down.
bool TakeSignal(const std::string& key, const char* name) {
  if (host::GetRegistryDword(key, name) != 1u) return false;
  host::DeleteRegistryValue(key, name);
  return true;
}

}  // namespace

CaptureControlOptions TakeCaptureControlOptions(CommandLine& line) {
  CaptureControlOptions o;
  while (auto setting = line.Take("set")) o.settings.push_back(ParseSetting(*setting));
  // The driver keeps the count in a byte.
  if (auto k = line.Take("snapshot"))
    o.snapshots = static_cast<int>(ParseInteger(*k, "--snapshot", 1, 255));
  if (auto n = line.Take("press-button-at")) {
    o.pressButtonAt = static_cast<int>(ParseInteger(*n, "--press-button-at", 1, 1000000));
  }
  return o;
}

CaptureControls::CaptureControls(host::StreamClassPort& port, host::PortDevice* device,
                                 sim::SimulatedCamera& camera, CaptureControlOptions options)
    : properties_(port, device),
      controls_(properties_),
      camera_(camera),
      options_(std::move(options)) {}

Refusals CaptureControls::ApplySettings() {
  return controls_.Apply(options_.settings);
}

void CaptureControls::AfterPicture(int delivered) {
  // Asked once a picture came: the stream's first one is black by design.
  if (options_.snapshots > 0 && !snapshotsAsked_) {
    snapshotsAsked_ = controls_.Set("snapshots", options_.snapshots);
  }
  if (delivered == options_.pressButtonAt) camera_.PressSnapshotButton();
  if (TakeSignal(kBufferKey, "Buffer")) ++snapshotsSaved_;
  controls_.Set("poll-snapshot-button", 0);
  if (TakeSignal(kHwSnapKey, "HWSNAP")) pressesSeen_.push_back(delivered);
}

std::string CaptureControls::Summary() const {
  std::string text;
  if (options_.snapshots > 0) {
    text += "; " + std::to_string(snapshotsSaved_) + " of " + std::to_string(options_.snapshots) +
            " snapshots saved";
    if (snapshotsSaved_ > 0) text += " (veltocam snapshot shows the last)";
  }
  for (const int frame : pressesSeen_) {
    text += "; snapshot button pressed after frame " + std::to_string(frame);
  }
  return text;
}

}  // namespace veltocam::app
