// What the simulated camera sees: a scene rendered into a planar picture for
// each frame it sends.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/encoder/encoder.h"

namespace veltocam::sim {

class Scene {
 public:
  virtual ~Scene() = default;
  // Renders frame number `frame` into `image`, whose size and sampling the
  // caller has set.
  virtual void Render(std::uint32_t frame, PlanarImage& image) const = 0;
  // False when every frame looks the same, so a rendered frame can be reused.
  virtual bool Moves() const { return false; }
};

// Eight vertical 75% colour bars.
std::unique_ptr<Scene> MakeColourBars();
// A slowly shifting gradient with a box moving across it and the frame
// number drawn in large digits, so lost, repeated or reordered frames show.
std::unique_ptr<Scene> MakeMovingScene();
// A fixed picture (8-bit RGB, rows top-down), scaled to every frame size.
std::unique_ptr<Scene> MakeStillPicture(int width, int height, std::vector<std::uint8_t> rgb);

// Converts one RGB pixel to full-range YCbCr, as the camera's sensor pipeline does.
void RgbToYuv(int r, int g, int b, std::uint8_t* y, std::uint8_t* cb, std::uint8_t* cr);

}  // namespace veltocam::sim
