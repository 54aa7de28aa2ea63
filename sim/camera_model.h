// The camera model's installer settings (a .reg file shipped with the
// simulator): what the tool loads into the registry by default, so that the
// driver finds the command set, framing and register list that the
// simulated camera's firmware expects.
#pragma once

#include <string_view>

namespace veltocam::sim {

// The file's text, built into the program.
std::string_view CameraModelRegText();
// Where the file lies in the source tree.
const char* CameraModelRegPath();
// Imports the settings into the host registry; false when the file is malformed.
bool LoadCameraModelSettings();

}  // namespace veltocam::sim
