// The bulk camera's snapshot button as capture presses it: after picture N
// the simulated user presses it, the camera reports the press on its
// interrupt pipe, and the driver signals the snapshot device event, which
// this program enables and waits for as a client would.
#pragma once

#include <string>

#include "apps/camera_session.h"
#include "sim/bulk_camera.h"

namespace veltocam::app {

class BulkButton {
 public:
  // pressAt 0: never pressed.
  BulkButton(sim::BulkCamera& camera, CameraSession& session, int pressAt);

  // After picture `delivered` (1, 2, ...) was taken.
  void AfterPicture(int delivered);
  // One line for the summary; empty when the button was not pressed.
  std::string Summary() const;

 private:
  sim::BulkCamera& camera_;
  CameraSession& session_;
  int pressAt_;
  bool enabled_ = false;
  bool pressed_ = false;
  bool signalled_ = false;
};

}  // namespace veltocam::app
