#include "sim/encoder/test_picture.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace veltocam::sim {
namespace {

// Small deterministic generator (xorshift), so every run sees the same picture.
class Noise {
 public:
  explicit Noise(std::uint32_t seed) : state_(seed * 2654435761u + 1) {}
  std::uint32_t Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return state_;
  }
  int Uniform(int range) { return static_cast<int>(Next() % static_cast<std::uint32_t>(range)); }

 private:
  std::uint32_t state_;
};

std::uint8_t Clamp(double value) {
  return static_cast<std::uint8_t>(std::clamp(value, 0.0, 255.0));
}

// Luminance at (x, y) in a picture of the given size.
double Scene(double x, double y, int width, int height, std::uint32_t seed) {
  const double u = x / width, v = y / height;
  double value = 40 + 150 * u * (1 - 0.4 * v);                   // lit wall
  value += 25 * std::sin(6 * std::numbers::pi * (u + 0.3 * v));  // soft shading
  const double cx = 0.3 + 0.05 * (seed % 5), cy = 0.55;
  if ((u - cx) * (u - cx) * 4 + (v - cy) * (v - cy) * 6 < 0.05) value = 215 - 60 * v;  // a disc
  if (u > 0.62 && u < 0.9 && v > 0.12 && v < 0.42) value = 20 + 30 * u;  // a dark panel
  return value;
}

// Strokes of 1-2 pixels on the dark panel, like lines of small print.
bool TextStroke(int x, int y, int width, int height, std::uint32_t seed) {
  const double u = static_cast<double>(x) / width, v = static_cast<double>(y) / height;
  if (!(u > 0.64 && u < 0.88 && v > 0.15 && v < 0.4)) return false;
  const int line = y % 10, column = x % 7;
  if (line > 6) return false;
  const std::uint32_t glyph = ((static_cast<std::uint32_t>(x / 7) * 7919u) ^ (y / 10) ^ seed) % 5;
  switch (glyph) {
    case 0:
      return column == 1 || line == 0;
    case 1:
      return column == 3 || line == 3;
    case 2:
      return column == line % 6;
    case 3:
      return column == 0 || column == 5 || line == 6;
    default:
      return line == 0 || line == 6;
  }
}

}  // namespace

PlanarImage MakeTestPicture(int width, int height, Sampling sampling, std::uint32_t seed) {
  PlanarImage image(width, height, sampling);
  Noise noise(seed);
  std::uint8_t* luma = image.plane(0);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      double value = Scene(x, y, width, height, seed);
      if (TextStroke(x, y, width, height, seed)) value = 235;
      value += noise.Uniform(9) - 4;  // sensor noise
      luma[y * width + x] = Clamp(value);
    }
  }
  const int rows_per_chroma_row = sampling == Sampling::k420 ? 2 : 1;
  for (int c = 1; c <= 2; ++c) {
    std::uint8_t* plane = image.plane(c);
    for (int y = 0; y < image.chroma_height(); ++y) {
      for (int x = 0; x < image.chroma_width(); ++x) {
        const double u = 2.0 * x / width, v = static_cast<double>(y) * rows_per_chroma_row / height;
        const double base = c == 1 ? 128 + 40 * (u - 0.5) - 20 * v : 128 - 30 * (v - 0.5) + 25 * u;
        const double edge = (u > 0.62 && u < 0.9 && v > 0.12 && v < 0.42) ? (c == 1 ? 30 : -25) : 0;
        plane[y * image.chroma_width() + x] = Clamp(base + edge + noise.Uniform(5) - 2);
      }
    }
  }
  return image;
}

double PlanePsnr(const PlanarImage& a, const PlanarImage& b, int component) {
  const std::uint8_t* pa = a.plane(component);
  const std::uint8_t* pb = b.plane(component);
  const std::size_t count =
      static_cast<std::size_t>(a.plane_width(component)) * a.plane_height(component);
  double squared = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const double d = static_cast<double>(pa[i]) - pb[i];
    squared += d * d;
  }
  if (squared == 0) return std::numeric_limits<double>::infinity();
  return 10 * std::log10(255.0 * 255.0 * static_cast<double>(count) / squared);
}

}  // namespace veltocam::sim
