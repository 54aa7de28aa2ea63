#include "sim/scene.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

namespace veltocam::sim {

void RgbToYuv(int r, int g, int b, std::uint8_t* y, std::uint8_t* cb, std::uint8_t* cr) {
  auto clamp = [](double v) {
    return static_cast<std::uint8_t>(std::clamp(static_cast<int>(std::lround(v)), 0, 255));
  };
  *y = clamp(0.299 * r + 0.587 * g + 0.114 * b);
  *cb = clamp(128.0 - 0.168736 * r - 0.331264 * g + 0.5 * b);
  *cr = clamp(128.0 + 0.5 * r - 0.418688 * g - 0.081312 * b);
}

namespace {

struct Yuv {
  std::uint8_t y, cb, cr;
};

Yuv FromRgb(int r, int g, int b) {
  Yuv p{};
  RgbToYuv(r, g, b, &p.y, &p.cb, &p.cr);
  return p;
}

// Fills the chroma sample of each 2x2 (or 2x1) block from one luma position.
template <typename ColourAt>
void Paint(PlanarImage& image, ColourAt colourAt) {
  std::uint8_t* luma = image.plane(0);
  std::uint8_t* cb = image.plane(1);
  std::uint8_t* cr = image.plane(2);
  const int rowsPerChroma = image.height / image.chroma_height();
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x) {
      const Yuv p = colourAt(x, y);
      luma[y * image.width + x] = p.y;
      if (x % 2 == 0 && y % rowsPerChroma == 0) {
        const int c = (y / rowsPerChroma) * image.chroma_width() + x / 2;
        cb[c] = p.cb;
        cr[c] = p.cr;
      }
    }
  }
}

class ColourBars final : public Scene {
 public:
  void Render(std::uint32_t, PlanarImage& image) const override {
    static const std::array<Yuv, 8> bars = {
        FromRgb(191, 191, 191), FromRgb(191, 191, 0), FromRgb(0, 191, 191), FromRgb(0, 191, 0),
        FromRgb(191, 0, 191),   FromRgb(191, 0, 0),   FromRgb(0, 0, 191),   FromRgb(0, 0, 0)};
    const int width = image.width;
    Paint(image, [&](int x, int) { return bars[static_cast<std::size_t>(x * 8 / width)]; });
  }
};

// Seven-segment digits: segments a..g as bits 0..6.
constexpr std::array<std::uint8_t, 10> kSegments = {0x3F, 0x06, 0x5B, 0x4F, 0x66,
                                                    0x6D, 0x7D, 0x07, 0x7F, 0x6F};

// True when (x, y) lies on a lit segment of `digit` drawn in a w x h cell.
bool OnDigit(int digit, int x, int y, int w, int h) {
  const int t = std::max(1, w / 5);  // stroke
  const std::uint8_t s = kSegments[static_cast<std::size_t>(digit)];
  const int mid = h / 2;
  const bool left = x < t, right = x >= w - t;
  const bool top = y < t, middle = y >= mid - t / 2 && y < mid - t / 2 + t, bottom = y >= h - t;
  const bool upper = y < mid, lower = y >= mid;
  return ((s & 0x01) && top) || ((s & 0x02) && right && upper) || ((s & 0x04) && right && lower) ||
         ((s & 0x08) && bottom) || ((s & 0x10) && left && lower) || ((s & 0x20) && left && upper) ||
         ((s & 0x40) && middle);
}

class MovingScene final : public Scene {
 public:
  bool Moves() const override { return true; }
  void Render(std::uint32_t frame, PlanarImage& image) const override {
    const int w = image.width, h = image.height;
    const int box = std::max(8, h / 5);
    const int boxX = static_cast<int>((frame * 4u) % static_cast<std::uint32_t>(w + box)) - box;
    const int boxY = h / 2 - box / 2;
    // Frame counter: five digits in the top-left corner.
    const int digitW = std::max(6, w / 16), digitH = digitW * 2, gap = digitW / 3;
    char digits[6];
    std::snprintf(digits, sizeof digits, "%05u", frame % 100000);
    const Yuv boxColour = FromRgb(230, 60, 40);
    const Yuv ink = FromRgb(255, 255, 255);
    Paint(image, [&](int x, int y) -> Yuv {
      const int dx = x - gap, dy = y - gap;
      if (dy >= 0 && dy < digitH && dx >= 0 && dx < 5 * (digitW + gap)) {
        const int cell = dx / (digitW + gap), cx = dx % (digitW + gap);
        if (cx < digitW && OnDigit(digits[cell] - '0', cx, dy, digitW, digitH)) return ink;
      }
      if (x >= boxX && x < boxX + box && y >= boxY && y < boxY + box) return boxColour;
      const int shift = static_cast<int>(frame % 256u);
      return FromRgb((x * 255 / w + shift) % 256, y * 255 / h, 128 + (x + y) % 64);
    });
  }
};

class StillPicture final : public Scene {
 public:
  StillPicture(int width, int height, std::vector<std::uint8_t> rgb)
      : width_(width), height_(height), rgb_(std::move(rgb)) {}

  void Render(std::uint32_t, PlanarImage& image) const override {
    // Nearest source pixel for each output pixel: the picture keeps its
    // proportions only if the caller picked a matching size.
    Paint(image, [&](int x, int y) {
      const int sx = x * width_ / image.width, sy = y * height_ / image.height;
      const std::uint8_t* p = &rgb_[(static_cast<std::size_t>(sy) * width_ + sx) * 3];
      return FromRgb(p[0], p[1], p[2]);
    });
  }

 private:
  int width_, height_;
  std::vector<std::uint8_t> rgb_;
};

}  // namespace

std::unique_ptr<Scene> MakeColourBars() {
  return std::make_unique<ColourBars>();
}
std::unique_ptr<Scene> MakeMovingScene() {
  return std::make_unique<MovingScene>();
}
std::unique_ptr<Scene> MakeStillPicture(int width, int height, std::vector<std::uint8_t> rgb) {
  return std::make_unique<StillPicture>(width, height, std::move(rgb));
}

}  // namespace veltocam::sim
