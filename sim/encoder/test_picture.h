// Natural-looking test pictures made on the spot: smooth gradients, hard edges,
// sensor-like noise and fine text-like strokes, so the coded blocks carry the
// whole range of coefficient patterns a camera produces.
#pragma once

#include <cstdint>

#include "sim/encoder/encoder.h"

namespace veltocam::sim {

PlanarImage MakeTestPicture(int width, int height, Sampling sampling, std::uint32_t seed);

// Peak signal-to-noise ratio of one plane of two images of the same size, in dB
// (infinity when they are equal).
double PlanePsnr(const PlanarImage& a, const PlanarImage& b, int component);

}  // namespace veltocam::sim
