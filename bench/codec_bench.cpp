// Decoding camera frames against libjpeg-turbo decoding the same entropy data as
// a JPEG (ISLOW, raw planar output), in the same run: the synthetic test picture
// and the photographs that bench/fetch_photos.sh fetched, at both capture sizes
// and five quantisation pairs. Prints each ratio of median CPU times and their
// geometric means.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "apps/image_files.h"
#include "codec/decoder.h"
#include "codec/quant_tables.h"
#include "jpeg_reference.h"
#include "sim/encoder/test_picture.h"
#include "sim/scene.h"

namespace {

using veltocam::codec::Sampling;
using veltocam::sim::PlanarImage;
namespace testing = veltocam::codec::testing;

struct Size {
  int width, height;
};
constexpr Size kSizes[] = {{640, 480}, {320, 240}};
constexpr int kPairs[] = {0, 3, 5, 7, 9};  // qualities 50, 85, 90, 95, 40
constexpr const char* kSynthetic = "synthetic";
constexpr const char* kPhotographs[] = {"astronaut", "coffee", "chelsea", "motorcycle_left"};

struct Rgb {
  int width = 0, height = 0;
  std::vector<std::uint8_t> pixels;
};

// The largest centred 4:3 crop of `source`, resampled bilinearly to `size`.
std::vector<std::uint8_t> CropAndScale(const Rgb& source, Size size) {
  const int crop_w = std::min(source.width, source.height * 4 / 3);
  const int crop_h = crop_w * 3 / 4;
  const double left = (source.width - crop_w) / 2.0, top = (source.height - crop_h) / 2.0;
  const double step = static_cast<double>(crop_w) / size.width;
  std::vector<std::uint8_t> out(static_cast<std::size_t>(size.width) * size.height * 3);
  for (int y = 0; y < size.height; ++y) {
    const double sy = std::clamp(top + (y + 0.5) * step - 0.5, 0.0, source.height - 1.0);
    const int y0 = static_cast<int>(sy), y1 = std::min(y0 + 1, source.height - 1);
    for (int x = 0; x < size.width; ++x) {
      const double sx = std::clamp(left + (x + 0.5) * step - 0.5, 0.0, source.width - 1.0);
      const int x0 = static_cast<int>(sx), x1 = std::min(x0 + 1, source.width - 1);
      const double fx = sx - x0, fy = sy - y0;
      for (int c = 0; c < 3; ++c) {
        const auto at = [&](int px, int py) {
          return source.pixels[(static_cast<std::size_t>(py) * source.width + px) * 3 + c];
        };
        const double v = (at(x0, y0) * (1 - fx) + at(x1, y0) * fx) * (1 - fy) +
                         (at(x0, y1) * (1 - fx) + at(x1, y1) * fx) * fy;
        out[(static_cast<std::size_t>(y) * size.width + x) * 3 + c] =
            static_cast<std::uint8_t>(std::lround(v));
      }
    }
  }
  return out;
}

PlanarImage PhotographAt(const Rgb& photo, Size size) {
  PlanarImage image(size.width, size.height, Sampling::k420);
  veltocam::sim::MakeStillPicture(size.width, size.height, CropAndScale(photo, size))
      ->Render(0, image);
  return image;
}

// One frame, coded both ways.
struct Frame {
  Size size;
  int pair;
  std::vector<std::uint8_t> jpeg;
  std::vector<std::uint8_t> camera;  // the JPEG's entropy data, plus the read-ahead slack
  std::int32_t length;
};

Frame MakeFrame(const PlanarImage& picture, int pair) {
  Frame f{{picture.width, picture.height}, pair, {}, {}, 0};
  f.jpeg = testing::EncodeJpeg420(picture, veltocam::codec::SelectQuantPair(pair));
  f.camera = testing::StripToCameraFormat(f.jpeg);
  f.length = static_cast<std::int32_t>(f.camera.size());
  f.camera.resize(f.camera.size() + 5);
  return f;
}

void Veltocam(benchmark::State& state, const Frame* f) {
  std::vector<std::uint8_t> out(static_cast<std::size_t>(f->size.width) * f->size.height * 3 / 2);
  PrepareDecoderTables();
  while (state.KeepRunning()) {
    const auto status =
        DecodeCompressedFrame(f->length, f->camera.data(), f->size.width, f->size.height, f->pair,
                              0, 1, 0, 0, 0, 0, out.data(), 0, nullptr);
    if (status != CODEC_OK) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(out.data());
  }
}

void Libjpeg(benchmark::State& state, const Frame* f) {
  PlanarImage out(f->size.width, f->size.height, Sampling::k420);
  testing::JpegRawDecoder decoder;
  while (state.KeepRunning()) {
    decoder.Decode(f->jpeg, out);
    benchmark::DoNotOptimize(out.pixels.data());
  }
}

std::string CaseName(const std::string& picture, Size size, int pair) {
  return picture + "/" + std::to_string(size.width) + "x" + std::to_string(size.height) + "/pair" +
         std::to_string(pair);
}

// Each picture's frames, registered ours-then-theirs per case so that both
// decoders of a ratio run close together in time.
void RegisterPicture(const std::string& name, const std::vector<PlanarImage>& by_size) {
  static std::vector<std::unique_ptr<Frame>> frames;
  for (const PlanarImage& picture : by_size) {
    for (int pair : kPairs) {
      frames.push_back(std::make_unique<Frame>(MakeFrame(picture, pair)));
      const std::string name_of_case = CaseName(name, {picture.width, picture.height}, pair);
      const Frame* frame = frames.back().get();
      benchmark::RegisterBenchmark(("Veltocam/" + name_of_case).c_str(), Veltocam, frame)
          ->Unit(benchmark::kMicrosecond);
      benchmark::RegisterBenchmark(("Libjpeg/" + name_of_case).c_str(), Libjpeg, frame)
          ->Unit(benchmark::kMicrosecond);
    }
  }
}

// The photographs found; names the missing ones on stderr.
std::vector<std::string> RegisterPictures() {
  std::vector<PlanarImage> synthetic;
  for (Size size : kSizes) {
    synthetic.push_back(veltocam::sim::MakeTestPicture(size.width, size.height, Sampling::k420, 1));
  }
  RegisterPicture(kSynthetic, synthetic);
  std::vector<std::string> found;
  for (const char* name : kPhotographs) {
    Rgb photo;
    const std::string path = std::string(VELTOCAM_PHOTO_DIR) + "/" + name + ".png";
    const std::string error =
        veltocam::app::ReadPngRgb(path, &photo.width, &photo.height, &photo.pixels);
    if (!error.empty()) {
      std::fprintf(stderr, "photograph missing (%s); run bench/fetch_photos.sh %s\n", error.c_str(),
                   VELTOCAM_PHOTO_DIR);
      continue;
    }
    std::vector<PlanarImage> by_size;
    for (Size size : kSizes) by_size.push_back(PhotographAt(photo, size));
    RegisterPicture(name, by_size);
    found.emplace_back(name);
  }
  return found;
}

// Keeps each case's median CPU time (that of its only run when it was asked for
// one) so the ratios can be printed after the table.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const std::string& name = run.run_name.function_name;
      if (run.run_type == Run::RT_Iteration) single_[name] = run.GetAdjustedCPUTime();
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
        median_[name] = run.GetAdjustedCPUTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // Median ours / median theirs for one case; 0 when either did not run.
  double Ratio(const std::string& name_of_case) const {
    const double ours = Median("Veltocam/" + name_of_case);
    const double theirs = Median("Libjpeg/" + name_of_case);
    return ours > 0 && theirs > 0 ? ours / theirs : 0;
  }

 private:
  double Median(const std::string& name) const {
    if (const auto it = median_.find(name); it != median_.end()) return it->second;
    const auto it = single_.find(name);
    return it != single_.end() ? it->second : 0;
  }

  std::map<std::string, double> median_;
  std::map<std::string, double> single_;
};

// Geometric mean of the non-zero values (0 when there are none).
struct GeometricMean {
  double log_sum = 0;
  int count = 0;
  void Add(double value) {
    if (value <= 0) return;
    log_sum += std::log(value);
    ++count;
  }
  double Value() const { return count ? std::exp(log_sum / count) : 0; }
};

// One line per picture and size: the ratio at each pair and their mean.
void PrintPicture(const RatioReporter& reporter, const std::string& picture,
                  GeometricMean& overall) {
  for (Size size : kSizes) {
    GeometricMean mean;
    std::printf("%-16s %4dx%-4d", picture.c_str(), size.width, size.height);
    for (int pair : kPairs) {
      const double ratio = reporter.Ratio(CaseName(picture, size, pair));
      std::printf("  %6.3f", ratio);
      mean.Add(ratio);
      overall.Add(ratio);
    }
    std::printf("  %8.3f\n", mean.Value());
  }
}

void PrintRatios(const RatioReporter& reporter, const std::vector<std::string>& photographs) {
  std::printf("\nveltocam / libjpeg-turbo, median CPU time per frame (below 1: veltocam faster)\n");
  std::printf("%-16s %-9s", "picture", "size");
  for (int pair : kPairs) std::printf("   pair%d", pair);
  std::printf("  geo.mean\n");
  GeometricMean synthetic;
  PrintPicture(reporter, kSynthetic, synthetic);
  GeometricMean natural;
  for (const std::string& photo : photographs) PrintPicture(reporter, photo, natural);
  std::printf("synthetic picture: geometric mean %.3f over %d ratios\n", synthetic.Value(),
              synthetic.count);
  if (photographs.empty()) {
    std::printf("natural pictures: none (the photographs are missing)\n");
  } else {
    std::printf("natural pictures: geometric mean %.3f over %d ratios\n", natural.Value(),
                natural.count);
  }
}

}  // namespace

int main(int argc, char** argv) {
  // By default several short runs of each case, whose median resists the other
  // loads of a shared machine better than one long run's mean; flags given on
  // the command line come later and win.
  std::vector<char*> arguments(argv, argv + argc);
  std::string defaults[] = {"--benchmark_repetitions=5", "--benchmark_min_time=0.1",
                            "--benchmark_display_aggregates_only=true"};
  for (std::string& flag : defaults) arguments.insert(arguments.begin() + 1, flag.data());
  argc = static_cast<int>(arguments.size());
  argv = arguments.data();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  const std::vector<std::string> photographs = RegisterPictures();
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  PrintRatios(reporter, photographs);
  benchmark::Shutdown();
  return 0;
}
