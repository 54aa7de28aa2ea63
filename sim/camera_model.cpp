#include "sim/camera_model.h"

#include "platform/host/regfile.h"

namespace veltocam::sim {

bool LoadCameraModelSettings() {
  return static_cast<bool>(host::ImportRegText(CameraModelRegText()));
}

}  // namespace veltocam::sim
