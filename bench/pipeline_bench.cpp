// The frame pipeline's hot paths in one run: RGB24 conversion (plain and
// vector forms against libyuv's I420ToRGB24), scaling (against I420Scale
// without filtering), and the whole raw-frame callback for a 640x480
// compressed frame against the decode alone. Ends with the ratios.
#include <benchmark/benchmark.h>
#include <libyuv/convert_argb.h>
#include <libyuv/scale.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "codec/decoder.h"
#include "pipeline/rawframe.h"
#include "pipeline/reorderscale.h"
#include "pipeline/rgb24.h"
#include "platform/host/platform.h"
#include "sim/encoder/test_picture.h"

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

using Converter = void (*)(DeviceContext*, const UCHAR*, UCHAR*);

void Rgb24Ours(benchmark::State& state, Converter convert) {
  StreamGeometry geometry(kVga, kVga);
  const std::vector<UCHAR> picture = Picture(kVga);
  std::vector<UCHAR> out(640 * 480 * 3);
  for (auto _ : state) {
    convert(geometry.context(), picture.data(), out.data());
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

constexpr ULONG kI420 = 0x30323449;
constexpr ULONG kPacketSize = 1023;
constexpr UCHAR kHeaderBytes = 15;

std::vector<UCHAR> CodedVgaFrame() {
  using namespace veltocam::sim;
  return EncodeFrame(MakeTestPicture(640, 480, Sampling::k420, 3), 3);
}

void DecodeAlone(benchmark::State& state) {
  std::vector<UCHAR> coded = CodedVgaFrame();
  const int length = static_cast<int>(coded.size());
  coded.resize(coded.size() + 5, 0);
  std::vector<UCHAR> picture(640 * 480 * 3 / 2);
  for (auto _ : state) {
    DecodeCompressedFrame(length, coded.data(), 640, 480, 3, 0, 1, 0, 0, 0, 0, picture.data(), 0,
                          nullptr);
    benchmark::DoNotOptimize(picture.data());
  }
}

// A configured camera streaming 640x480 from the 640x480 sensor window, past
// its first frame, fed the same compressed frame again and again.
void WholeFrame(benchmark::State& state, ULONG outputCompression) {
  veltocam::host::ResetPlatform();
  auto* context = new DeviceContext{};
  alignas(8) UCHAR interfaceRecord[GET_USBD_INTERFACE_SIZE(1)] = {};
  auto* info = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(interfaceRecord);
  info->Length = sizeof interfaceRecord;
  info->NumberOfPipes = 1;
  USHORT pipes[1];
  Configure(nullptr, context, info, nullptr, 1, pipes, nullptr);
  context->SensorImageWidth = context->RealImageWidth = context->ImageWidth = 640;
  context->SensorImageHeight = context->RealImageHeight = context->ImageHeight = 480;
  context->PixelCount = 640 * 480;
  context->Rgb24FrameSize = 640 * 480 * 3;
  context->Yuv420FrameSize = 640 * 480 * 3 / 2;
  context->OutputCompression = outputCompression;
  context->ImageType = 5;
  context->PropertyByteOffset = kHeaderBytes;
  context->MaxPacketSize = kPacketSize;
  context->QTableIndex = 3;
  context->HasMmx = 1;
  context->FirstFrameDone = 1;
  context->GoodFrameCount = 100;
  BuildScaleMaps(context);

  const std::vector<UCHAR> coded = CodedVgaFrame();
  const ULONG packets = (kHeaderBytes + coded.size() + kPacketSize - 2) / (kPacketSize - 1);
  std::vector<UCHAR> raw(kHeaderBytes, 0);
  raw.insert(raw.end(), coded.begin(), coded.end());
  raw.resize((packets + 1) * (kPacketSize - 1), 0xFF);
  std::vector<UCHAR> out(640 * 480 * 3);
  for (auto _ : state) {
    ULONG bytes = 0;
    ProcessRawFrame(nullptr, context, nullptr, out.data(), static_cast<ULONG>(out.size()),
                    raw.data(), static_cast<ULONG>(raw.size()), packets, &bytes,
                    packets * (kPacketSize - 1), 0);
    benchmark::DoNotOptimize(out.data());
  }
  FreeDeviceBuffers(context);
  delete context;
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
  benchmark::RegisterBenchmark("Rgb24/plain/640x480", Rgb24Ours, ConvertYuv420ToRgb24);
  benchmark::RegisterBenchmark("Rgb24/vector/640x480", Rgb24Ours, ConvertYuv420ToRgb24Mmx);
  benchmark::RegisterBenchmark("Rgb24/libyuv/640x480", Rgb24Libyuv);
  benchmark::RegisterBenchmark("Scale/ours/640x480to352x288", ScaleOurs, Size{640, 480},
                               Size{352, 288});
  benchmark::RegisterBenchmark("Scale/libyuv/640x480to352x288", ScaleLibyuv, Size{640, 480},
                               Size{352, 288});
  benchmark::RegisterBenchmark("Scale/ours/160x120to176x144", ScaleOurs, Size{160, 120},
                               Size{176, 144});
  benchmark::RegisterBenchmark("Scale/libyuv/160x120to176x144", ScaleLibyuv, Size{160, 120},
                               Size{176, 144});
  benchmark::RegisterBenchmark("Decode/640x480", DecodeAlone);
  benchmark::RegisterBenchmark("ProcessRawFrame/I420/640x480", WholeFrame, kI420);
  benchmark::RegisterBenchmark("ProcessRawFrame/RGB24/640x480", WholeFrame, 0u);
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
  std::printf(
      "\nCost of the whole callback relative to the decode alone (target <= 1.20 for I420):\n");
  reporter.PrintRatio("ProcessRawFrame 640x480 compressed to I420 / decode", "Decode/640x480",
                      "ProcessRawFrame/I420/640x480");
  reporter.PrintRatio("ProcessRawFrame 640x480 compressed to RGB24 / decode", "Decode/640x480",
                      "ProcessRawFrame/RGB24/640x480");
  benchmark::Shutdown();
  return 0;
}
