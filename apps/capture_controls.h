// What a capture does with the picture controls, through device property
// requests: settings sent before the stream starts, snapshots asked for once
// pictures flow (the driver saves them to its snapshot file), and the
// camera's snapshot button polled after every picture (the driver publishes
// a press as HWSNAP, which is read and cleared here).
#pragma once

#include <string>
#include <vector>

#include "apps/command_line.h"
#include "apps/picture_controls.h"
#include "sim/simulated_camera.h"

namespace veltocam::app {

struct CaptureControlOptions {
  std::vector<Setting> settings;  // --set NAME=VALUE ...
  int snapshots = 0;              // --snapshot K
  int pressButtonAt = 0;          // --press-button-at N: the simulated user's press
};
// Takes the options above from the command line (UsageError when bad).
CaptureControlOptions TakeCaptureControlOptions(CommandLine& line);

class CaptureControls {
 public:
  CaptureControls(host::StreamClassPort& port, host::PortDevice* device,
                  sim::SimulatedCamera& camera, CaptureControlOptions options);

  // The settings, before the stream starts.
  Refusals ApplySettings();
  // After picture `delivered` (1, 2, ...) was taken.
  void AfterPicture(int delivered);
  // "" or what happened, for the summary line ("; ..." parts).
  std::string Summary() const;

 private:
  client::PropertyClient properties_;
  PictureControls controls_;
  sim::SimulatedCamera& camera_;
  CaptureControlOptions options_;
  bool snapshotsAsked_ = false;
  int snapshotsSaved_ = 0;
  std::vector<int> pressesSeen_;  // pictures after which a press was published
};

}  // namespace veltocam::app
