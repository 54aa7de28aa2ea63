// The frame engine's hot path: the packet walk over 32-packet transfers of
// 1023-byte packets, against a plain memcpy of the same payload bytes; and the
// whole path through the port and the capture client, against the decode of
// the same frames alone.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "apps/camera_session.h"
#include "classlayer/device_layer_services.h"
#include "classlayer/frameengine.h"
#include "codec/decoder.h"
#include "control/devicecontext.h"
#include "pipeline/packets.h"
#include "platform/host/files_host.h"
#include "platform/host/platform.h"
#include "platform/host/scheduler.h"
#include "platform/host/trace.h"
#include "platform/host/usb_bus.h"
#include "sim/camera_model.h"
#include "sim/encoder/test_picture.h"
#include "sim/frame_streamer.h"
#include "sim/simulated_camera.h"

namespace {

constexpr USHORT kPacket = 1023;
constexpr ULONG kPayload = kPacketsPerTransfer * (kPacket - 1);

// A fresh platform whose debugger output is dropped: the driver's traces
// would interleave with the results.
void ResetQuietPlatform() {
  veltocam::host::ResetPlatform();
  veltocam::host::SetTraceSink([](std::string_view) {});
}

// One channel with the camera's packet framing and a request that never fills.
class Walk {
 public:
  Walk() {
    ResetQuietPlatform();
    const ULONG size = DeviceExtensionSize(sizeof(DeviceContext));
    device_ = static_cast<ClassDevice*>(ExAllocatePoolWithTag(NonPagedPool, size, kClassPoolTag));
    RtlZeroMemory(device_, size);
    auto* ctx = static_cast<DeviceContext*>(DeviceContextOf(device_));
    table_.ProcessPacket = ProcessPacket;
    table_.NewFrame = NewFrame;
    InstallCallbackTable(ctx, &table_, kCallbackTableVersion, 0);
    interface_.Length = sizeof interface_;
    interface_.NumberOfPipes = 1;
    interface_.Pipes[0].MaximumPacketSize = kPacket;
    ctx->Interface = &interface_;
    ctx->TotalSyncByte = 2;
    ctx->SyncByte0 = ctx->SyncByte1 = ctx->NextSyncByte = 0xFF;
    ctx->FrameValid = 1;

    RtlZeroMemory(&channel_, sizeof channel_);
    channel_.Device = device_;
    channel_.SyncPipe = -1;
    InitializeListHead(&channel_.ReadQueue);
    InitializeListHead(&channel_.FinishedFrames);
    device_->Channel[0] = &channel_;
    raw_.resize(kPayload + 64);
    RtlZeroMemory(&request_, sizeof request_);
    request_.RawBuffer = raw_.data();
    request_.RawBufferLength = static_cast<ULONG>(raw_.size());
    RtlZeroMemory(&srb_, sizeof srb_);
    srb_.StreamObject = &stream_;
    request_.Srb = &srb_;
    channel_.Current = &request_;

    set_.Device = device_;
    set_.Channel = &channel_;
    set_.BufferSize = (kPacket + 1) * kPacketsPerTransfer;
    buffer_.resize(set_.BufferSize);
    set_.SyncBuffer = buffer_.data();
    set_.DataBuffer = buffer_.data() + kPacketsPerTransfer;
    urbs_.resize(2 * kIsoRequestSize);
    set_.DataUrb = reinterpret_cast<URB*>(urbs_.data() + kIsoRequestSize);
    _URB_ISOCH_TRANSFER& iso = set_.DataUrb->UrbIsochronousTransfer;
    iso.NumberOfPackets = kPacketsPerTransfer;
    for (ULONG i = 0; i < kPacketsPerTransfer; ++i) {
      iso.IsoPacket[i] = {i * kPacket, kPacket, USBD_STATUS_SUCCESS};
      UCHAR* packet = set_.DataBuffer + i * kPacket;
      for (ULONG b = 0; b < kPacket; ++b) packet[b] = static_cast<UCHAR>(b * 7 + i);
      packet[0] = static_cast<UCHAR>(i);  // sequence bytes 0..31: one frame continues
    }
    KeInitializeTimer(&set_.ResubmitTimer);
    KeInitializeDpc(
        &set_.ResubmitDpc, [](KDPC*, PVOID, PVOID, PVOID) {}, nullptr);
  }
  ~Walk() {
    KeCancelTimer(&set_.ResubmitTimer);
    static_cast<DeviceContext*>(DeviceContextOf(device_))->Interface = nullptr;
    ExFreePool(device_);
  }

  void Run() {
    auto* ctx = static_cast<DeviceContext*>(DeviceContextOf(device_));
    ctx->NextSequenceByte = 0;
    request_.BytesWritten = 0;
    ProcessTransfer(&set_);
  }
  const UCHAR* Data() const { return set_.DataBuffer; }
  std::vector<UCHAR>& Raw() { return raw_; }

 private:
  ClassDevice* device_;
  DeviceCallbackTable table_{};
  USBD_INTERFACE_INFORMATION interface_{};
  Channel channel_;
  FrameRequest request_;
  HW_STREAM_REQUEST_BLOCK srb_;
  HW_STREAM_OBJECT stream_{};
  TransferSet set_{};
  std::vector<UCHAR> buffer_, urbs_, raw_;
};

void Record(benchmark::State& state) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kPayload);
}

// One walk for both benchmarks: the copy's speed depends on where source and
// destination lie relative to each other, so both copy between the same buffers.
// Never destroyed: the whole-path benchmarks reset the platform, which takes
// back the pool the walk's device came from.
Walk& SharedWalk() {
  static Walk* walk = new Walk;
  return *walk;
}

void BM_PacketWalk(benchmark::State& state) {
  Walk& walk = SharedWalk();
  for (auto _ : state) {
    walk.Run();
    benchmark::DoNotOptimize(walk.Raw().data());
  }
  Record(state);
}
BENCHMARK(BM_PacketWalk);

void BM_Memcpy(benchmark::State& state) {
  Walk& walk = SharedWalk();  // the same bytes, copied packet by packet without the engine
  for (auto _ : state) {
    UCHAR* out = walk.Raw().data();
    for (ULONG i = 0; i < kPacketsPerTransfer; ++i) {
      std::memcpy(out + i * (kPacket - 1), walk.Data() + i * kPacket + 1, kPacket - 1);
    }
    benchmark::DoNotOptimize(out);
    benchmark::ClobberMemory();
  }
  Record(state);
}
BENCHMARK(BM_Memcpy);

// A natural-looking still picture: the camera's frames cost what real ones do
// to decode, while the simulator encodes it only once.
class NaturalPicture final : public veltocam::sim::Scene {
 public:
  void Render(std::uint32_t, veltocam::sim::PlanarImage& image) const override {
    image = veltocam::sim::MakeTestPicture(image.width, image.height, image.sampling, 7);
  }
};

// The camera's last compressed 640x480 frame, kept by the frame-sent hook.
struct SentPicture {
  std::vector<std::uint8_t> payload;
  int width = 0, height = 0;
  std::uint8_t qtable = 0;
};

// Packets in, I420 pictures out: the simulated camera on the host bus, the
// driver loaded by the port, the stream opened and read through the capture
// client, one frame per iteration on virtual time.
void BM_WholePath640x480(benchmark::State& state) {
  using namespace veltocam;
  ResetQuietPlatform();
  host::SetSystemRoot("/tmp");
  sim::LoadCameraModelSettings();
  sim::FrameStreamer streamer(std::make_unique<NaturalPicture>());
  sim::SimulatedCamera camera;
  camera.SetPacketSource(&streamer);
  {
    host::UsbBus bus;
    bus.Attach(camera);
    app::CameraSession session(bus.DeviceObject());
    std::string why;
    if (!NT_SUCCESS(session.Start()) ||
        !NT_SUCCESS(session.Open(app::kCaptureStream, {640, 480, app::kFourccI420}, 4, &why))) {
      state.SkipWithError("the stream did not start");
    }
    app::DeliveredFrame frame;
    session.NextFrame(&frame, host::Seconds(5));  // the black first frame
    // Only whole pictures count: a read that came back empty would flatter the rate.
    constexpr std::size_t kPicture = 640 * 480 * 3 / 2;
    // Work on another thread would escape the CPU time measured here.
    if (host::CurrentSchedulerMode() != host::SchedulerMode::Deterministic) {
      state.SkipWithError("the path must run on the benchmark thread");
    }
    for (auto _ : state) {
      if (!session.NextFrame(&frame, host::Seconds(5)) || frame.data.size() != kPicture) {
        state.SkipWithError("no picture");
        break;
      }
    }
  }
  host::ShutdownKernel();
}
BENCHMARK(BM_WholePath640x480)->Unit(benchmark::kMillisecond)->UseRealTime();

// The decode alone of a frame the camera sends for the same picture.
void BM_Decode640x480(benchmark::State& state) {
  using namespace veltocam;
  ResetQuietPlatform();
  host::SetSystemRoot("/tmp");
  sim::LoadCameraModelSettings();
  sim::FrameStreamer streamer(std::make_unique<NaturalPicture>());
  SentPicture sent;
  streamer.OnFrameSent([&](const sim::SentFrame& f) {
    sent = {*f.payload, f.width, f.height, f.qtableIndex};
  });
  sim::SimulatedCamera camera;
  camera.SetPacketSource(&streamer);
  {
    host::UsbBus bus;
    bus.Attach(camera);
    app::CameraSession session(bus.DeviceObject());
    std::string why;
    session.Start();
    session.Open(app::kCaptureStream, {640, 480, app::kFourccI420}, 4, &why);
    app::DeliveredFrame frame;
    for (int i = 0; i < 3; ++i) session.NextFrame(&frame, host::Seconds(5));
  }
  host::ShutdownKernel();
  std::vector<std::uint8_t> coded = sent.payload;
  coded.resize(coded.size() + 5, 0);
  std::vector<std::uint8_t> out(static_cast<std::size_t>(sent.width) * sent.height * 3 / 2);
  for (auto _ : state) {
    DecodeCompressedFrame(static_cast<std::int32_t>(sent.payload.size()), coded.data(), sent.width,
                          sent.height, sent.qtable, 0, 1, 0, 0, 0, 0, out.data(), 0, nullptr);
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_Decode640x480)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  class Collector : public benchmark::ConsoleReporter {
   public:
    void ReportRuns(const std::vector<Run>& runs) override {
      for (const Run& run : runs) times[run.benchmark_name()] = run.GetAdjustedCPUTime();
      ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
  } reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double walk = reporter.times["BM_PacketWalk"], copy = reporter.times["BM_Memcpy"];
  if (walk > 0 && copy > 0) {
    std::printf("\npacket walk / memcpy: %.2f (target: at most 2)\n", walk / copy);
  }
  // CPU time of the benchmark thread: under the deterministic scheduler the
  // bus, the driver, its work items and the client all run on it, so this is
  // the cost on one core whatever else loads the machine.
  const double frame = reporter.times["BM_WholePath640x480/real_time"];
  const double decode = reporter.times["BM_Decode640x480/real_time"];
  if (frame > 0) {
    std::printf(
        "whole path through the port, 640x480 I420: %.0f frames per CPU second on one core "
        "(target: at least 1500)\n",
        1e3 / frame);
  }
  if (frame > 0 && decode > 0) {
    std::printf("whole path / decode alone, CPU time: %.2f (target: at most 1.25)\n",
                frame / decode);
  }
  benchmark::Shutdown();
  return 0;
}
