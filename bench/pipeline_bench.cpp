// The frame pipeline's hot paths against libyuv in one run: RGB24 conversion
// (plain and vector forms against I420ToRGB24) and scaling (against I420Scale
// without filtering). Ends with the ratios, >1 meaning faster than libyuv.
#include <benchmark/benchmark.h>
#include <libyuv/convert_argb.h>
#include <libyuv/scale.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "pipeline/reorderscale.h"
#include "pipeline/rgb24.h"

namespace {

struct Size {
  int width;
  int height;
};

std::vector<UCHAR> Picture(Size size) {
  std::vector<UCHAR> picture(static_cast<size_t>(size.width) * size.height * 3 / 2);
  std::mt19937 random(7);
  for (UCHAR& sample : picture) sample = static_cast<UCHAR>(random());
  return picture;
}

// A device context with its scale maps, as a stream start leaves it.
class StreamGeometry {
 public:
  StreamGeometry(Size sensor, Size output) : maps_(4, std::vector<UCHAR>(kScaleMapSize)) {
    context_.p_ucScale_V_Buf_Y = maps_[0].data();
    context_.p_ucScale_V_Buf_UV = maps_[1].data();
    context_.p_ucScale_H_Buf_Y = maps_[2].data();
    context_.p_ucScale_H_Buf_UV = maps_[3].data();
    context_.SensorImageWidth = sensor.width;
    context_.SensorImageHeight = sensor.height;
    context_.RealImageWidth = context_.ImageWidth = output.width;
    context_.RealImageHeight = context_.ImageHeight = output.height;
    BuildScaleMaps(&context_);
  }
  DeviceContext* context() { return &context_; }

 private:
  DeviceContext context_{};
  std::vector<std::vector<UCHAR>> maps_;
};

constexpr Size kVga{640, 480};

void Rgb24Plain(benchmark::State& state) {
  StreamGeometry geometry(kVga, kVga);
  const std::vector<UCHAR> picture = Picture(kVga);
  std::vector<UCHAR> out(640 * 480 * 3);
  for (auto _ : state) {
    ConvertYuv420ToRgb24(geometry.context(), picture.data(), out.data());
    benchmark::DoNotOptimize(out.data());
  }
}

void Rgb24Vector(benchmark::State& state) {
  StreamGeometry geometry(kVga, kVga);
  const std::vector<UCHAR> picture = Picture(kVga);
  std::vector<UCHAR> out(640 * 480 * 3);
  for (auto _ : state) {
    ConvertYuv420ToRgb24Mmx(geometry.context(), picture.data(), out.data());
    benchmark::DoNotOptimize(out.data());
  }
}

void Rgb24Libyuv(benchmark::State& state) {
  const std::vector<UCHAR> picture = Picture(kVga);
  std::vector<UCHAR> out(640 * 480 * 3);
  const UCHAR* y = picture.data();
  const UCHAR* u = y + 640 * 480;
  const UCHAR* v = u + 320 * 240;
  for (auto _ : state) {
    // A negative height writes bottom-up, as the driver's RGB24 does.
    libyuv::I420ToRGB24(y, 640, u, 320, v, 320, out.data(), 640 * 3, 640, -480);
    benchmark::DoNotOptimize(out.data());
  }
}

void ScaleOurs(benchmark::State& state, Size from, Size to) {
  StreamGeometry geometry(from, to);
  const std::vector<UCHAR> picture = Picture(from);
  std::vector<UCHAR> out(static_cast<size_t>(to.width) * to.height * 3 / 2);
  for (auto _ : state) {
    ScaleYuv420(geometry.context(), out.data(), static_cast<ULONG>(out.size()), picture.data());
    benchmark::DoNotOptimize(out.data());
  }
}

void ScaleLibyuv(benchmark::State& state, Size from, Size to) {
  const std::vector<UCHAR> picture = Picture(from);
  std::vector<UCHAR> out(static_cast<size_t>(to.width) * to.height * 3 / 2);
  const UCHAR* y = picture.data();
  const UCHAR* u = y + from.width * from.height;
  const UCHAR* v = u + from.width * from.height / 4;
  UCHAR* oy = out.data();
  UCHAR* ou = oy + to.width * to.height;
  UCHAR* ov = ou + to.width * to.height / 4;
  for (auto _ : state) {
    libyuv::I420Scale(y, from.width, u, from.width / 2, v, from.width / 2, from.width, from.height,
                      oy, to.width, ou, to.width / 2, ov, to.width / 2, to.width, to.height,
                      libyuv::kFilterNone);
    benchmark::DoNotOptimize(out.data());
  }
}

// Keeps each benchmark's processor time per iteration for the closing ratios
// (processor time, not wall time: the machine may be shared).
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) times_[run.benchmark_name()] = run.GetAdjustedCPUTime();
    ConsoleReporter::ReportRuns(runs);
  }
  void PrintRatio(const char* what, const std::string& ours, const std::string& theirs) const {
    const auto a = times_.find(ours);
    const auto b = times_.find(theirs);
    if (a == times_.end() || b == times_.end() || a->second <= 0) return;
    std::printf("%-58s %5.2fx\n", what, b->second / a->second);
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::RegisterBenchmark("Rgb24/plain/640x480", Rgb24Plain);
  benchmark::RegisterBenchmark("Rgb24/vector/640x480", Rgb24Vector);
  benchmark::RegisterBenchmark("Rgb24/libyuv/640x480", Rgb24Libyuv);
  benchmark::RegisterBenchmark("Scale/ours/640x480to352x288", ScaleOurs, Size{640, 480},
                               Size{352, 288});
  benchmark::RegisterBenchmark("Scale/libyuv/640x480to352x288", ScaleLibyuv, Size{640, 480},
                               Size{352, 288});
  benchmark::RegisterBenchmark("Scale/ours/160x120to176x144", ScaleOurs, Size{160, 120},
                               Size{176, 144});
  benchmark::RegisterBenchmark("Scale/libyuv/160x120to176x144", ScaleLibyuv, Size{160, 120},
                               Size{176, 144});
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  std::printf("\nSpeed relative to libyuv (processor time of libyuv / ours):\n");
  reporter.PrintRatio("ConvertYuv420ToRgb24 (plain) vs I420ToRGB24", "Rgb24/plain/640x480",
                      "Rgb24/libyuv/640x480");
  reporter.PrintRatio("ConvertYuv420ToRgb24Mmx (vector) vs I420ToRGB24", "Rgb24/vector/640x480",
                      "Rgb24/libyuv/640x480");
  reporter.PrintRatio("ScaleYuv420 640x480->352x288 vs I420Scale kFilterNone",
                      "Scale/ours/640x480to352x288", "Scale/libyuv/640x480to352x288");
  reporter.PrintRatio("ScaleYuv420 160x120->176x144 vs I420Scale kFilterNone",
                      "Scale/ours/160x120to176x144", "Scale/libyuv/160x120to176x144");
  benchmark::Shutdown();
  return 0;
}
