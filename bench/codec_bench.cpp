// Decoding one camera frame against libjpeg-turbo decoding the same entropy data
// as a JPEG (ISLOW, raw planar output), in the same run; prints the time ratios.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "codec/decoder.h"
#include "codec/quant_tables.h"
#include "jpeg_reference.h"
#include "sim/encoder/test_picture.h"

namespace {

using veltocam::codec::Sampling;
namespace testing = veltocam::codec::testing;

constexpr int kQualityIndex = 3;  // quality 85

struct Frame {
  int width, height;
  std::vector<std::uint8_t> jpeg;
  std::vector<std::uint8_t> camera;  // the JPEG's entropy data, plus the read-ahead slack
  std::int32_t length;
};

const Frame& FrameOf(int width, int height) {
  static std::map<int, Frame> frames;
  auto [it, added] = frames.try_emplace(width);
  if (added) {
    const auto picture = veltocam::sim::MakeTestPicture(width, height, Sampling::k420, 1);
    Frame& f = it->second;
    f.width = width;
    f.height = height;
    f.jpeg = testing::EncodeJpeg420(picture, veltocam::codec::SelectQuantPair(kQualityIndex));
    f.camera = testing::StripToCameraFormat(f.jpeg);
    f.length = static_cast<std::int32_t>(f.camera.size());
    f.camera.resize(f.camera.size() + 5);
  }
  return it->second;
}

void Veltocam(benchmark::State& state) {
  const Frame& f = FrameOf(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  std::vector<std::uint8_t> out(static_cast<std::size_t>(f.width) * f.height * 3 / 2);
  PrepareDecoderTables();
  while (state.KeepRunning()) {
    const auto status =
        DecodeCompressedFrame(f.length, f.camera.data(), f.width, f.height, kQualityIndex, 0, 1, 0,
                              0, 0, 0, out.data(), 0, nullptr);
    if (status != CODEC_OK) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(out.data());
  }
}

void Libjpeg(benchmark::State& state) {
  const Frame& f = FrameOf(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  veltocam::sim::PlanarImage out(f.width, f.height, Sampling::k420);
  testing::JpegRawDecoder decoder;
  while (state.KeepRunning()) {
    decoder.Decode(f.jpeg, out);
    benchmark::DoNotOptimize(out.pixels.data());
  }
}

// Repetitions, of which the ratios take the fastest: the machine is shared, and
// the least disturbed run is the fairest comparison.
BENCHMARK(Veltocam)
    ->Args({640, 480})
    ->Args({320, 240})
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(5);
BENCHMARK(Libjpeg)
    ->Args({640, 480})
    ->Args({320, 240})
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(5);

// Keeps each benchmark's fastest CPU time so the ratios can be printed after the table.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      const std::string name = run.run_name.function_name + "/" + run.run_name.args;
      const auto [it, added] = times_.try_emplace(name, run.GetAdjustedCPUTime());
      if (!added) it->second = std::min(it->second, run.GetAdjustedCPUTime());
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void PrintRatios() const {
    for (const char* size : {"640/480", "320/240"}) {
      const auto ours = times_.find(std::string("Veltocam/") + size);
      const auto theirs = times_.find(std::string("Libjpeg/") + size);
      if (ours == times_.end() || theirs == times_.end()) continue;
      std::printf(
          "decode %s: veltocam / libjpeg-turbo CPU time = %.2f (libjpeg-turbo %.2fx the time)\n",
          size, ours->second / theirs->second, theirs->second / ours->second);
    }
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
