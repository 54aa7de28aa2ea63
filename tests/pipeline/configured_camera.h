// A camera whose device context has been through Configure (work buffers and
// scale maps allocated) and, on request, through the geometry part of a stream
// start: output size, sensor window, frame sizes and scale maps.
#pragma once

#include <cstring>
#include <random>
#include <vector>

#include "pipeline/reorderscale.h"
#include "support/device_extension.h"

namespace veltocam::test {

class ConfiguredCamera {
 public:
  ConfiguredCamera() {
    auto* info = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(interface_);
    info->Length = sizeof interface_;
    info->NumberOfPipes = 1;
    info->Pipes[0].MaximumPacketSize = 1023;
    USHORT pipes[1] = {};
    Configure(nullptr, ctx(), info, nullptr, 1, pipes, nullptr);
  }

  DeviceContext* ctx() { return extension_.context(); }

  // Output width x height from a sensor window, as a stream start leaves it.
  void Stream(ULONG sensorWidth, ULONG sensorHeight, ULONG width, ULONG height) {
    DeviceContext* c = ctx();
    c->SensorImageWidth = sensorWidth;
    c->SensorImageHeight = sensorHeight;
    c->RealImageWidth = c->ImageWidth = width;
    c->RealImageHeight = c->ImageHeight = height;
    c->PixelCount = width * height;
    c->Rgb24FrameSize = width * height * 3;
    c->Yuv420FrameSize = width * height * 3 / 2;
    BuildScaleMaps(c);
  }

 private:
  DeviceExtension extension_;
  alignas(8) UCHAR interface_[GET_USBD_INTERFACE_SIZE(1)] = {};
};

// A planar 4:2:0 picture whose samples are all different enough to show where
// each output sample came from.
inline std::vector<UCHAR> NoisyPicture(ULONG width, ULONG height, unsigned seed = 1) {
  std::vector<UCHAR> picture(static_cast<size_t>(width) * height * 3 / 2);
  std::mt19937 random(seed);
  for (UCHAR& sample : picture) sample = static_cast<UCHAR>(random());
  return picture;
}

}  // namespace veltocam::test
