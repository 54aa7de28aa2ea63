// The simulated camera on the host bus behind a device brought up as device
// initialisation leaves it (the device layer's tables installed, the USB
// configuration selected, the pipes classified), with streams opened, driven
// and closed through the class layer's stream entries on virtual time.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "classlayer/callback_calls.h"
#include "classlayer/frame_engine_harness.h"
#include "classlayer/recovery.h"
#include "classlayer/streams.h"
#include "classlayer/usbconfig.h"
#include "driver/callback_tables.h"
#include "platform/host/files_host.h"
#include "sim/camera_model.h"
#include "sim/frame_streamer.h"
#include "support/camera_rig.h"
#include "support/test_directory.h"

namespace veltocam::test {

constexpr ULONG kI420 = 0x30323449;

// A stream object as the port makes it, with the channel it allocates.
struct TestStream {
  HW_STREAM_OBJECT object{};
  KS_DATAFORMAT_VIDEOINFOHEADER format{};
  Channel* channel = nullptr;
  bool open = false;
};

// A stream control request with the per-request extension the port gives it.
struct ControlRequest {
  ControlRequest(TestStream& stream, SRB_COMMAND command) : extension(PerRequestExtensionSize(4)) {
    srb.SizeOfThisPacket = sizeof srb;
    srb.Command = command;
    srb.StreamObject = &stream.object;
    srb.SRBExtension = extension.data();
    srb.Flags = SRB_HW_FLAGS_STREAM_REQUEST;
  }
  HW_STREAM_REQUEST_BLOCK srb{};
  std::vector<UCHAR> extension;
};

class StreamTest : public testing::Test {
 public:
  void SetUp() override {
    ResetDeviceLayerState();
    root_ = FreshTestDirectory("veltocam-streams-");
    host::SetSystemRoot(root_.string());
    ASSERT_TRUE(sim::LoadCameraModelSettings());
    camera_.SetPacketSource(&streamer_);
    bus_.Attach(camera_);
    host::SetRequestCompletionHandler([this](HW_STREAM_REQUEST_BLOCK* srb) {
      std::lock_guard lock(mutex_);
      completions_[srb] += 1;
    });

    ClassDevice* dev = device();
    dev->BusDeviceObject = dev->LowerDeviceObject = bus_.DeviceObject();
    dev->NumberOfStreams = 1;
    dev->PowerState = 1;
    dev->DeviceState = kDeviceInitialising;
    InstallCallbackTable(ext_.context(), DeviceLayerCallbacks(), kCallbackTableVersion,
                         kDeviceLayerControlFlags);
    AdoptBasicCallbackTable(dev, DeviceLayerBasicCallbacks());
    ASSERT_EQ(ConfigureDevice(dev), STATUS_SUCCESS);
    for (LIST_ENTRY& list : dev->ControlWaitList) InitializeListHead(&list);
    KeInitializeSpinLock(&dev->ControlLock);
    KeInitializeSpinLock(&dev->CompletionLock);
    KeInitializeSpinLock(&dev->PipeTableLock);
    dev->ResetCount[0] = dev->ResetCount[1] = -1;
    dev->DeviceState = kDeviceStarted;
  }

  void TearDown() override {
    for (TestStream* stream : {&still_, &video_}) Close(*stream);
    if (device()->InterfaceInfo != nullptr) {
      device()->DeviceState = kDeviceRemoved;
      CallUnInitialize(device());
      ReleaseDeviceConfiguration(device());
    }
    if (host::CurrentSchedulerMode() == host::SchedulerMode::Deterministic) host::RunUntilIdle();
    host::ShutdownKernel();  // nothing runs after this (real-time threads drained)
    host::SetRequestCompletionHandler({});
    reads_.clear();
    std::filesystem::remove_all(root_);
    ExpectNoProtocolViolations(camera_);
  }

  ClassDevice* device() { return ext_.device(); }
  // As a device whose pipe classification gives a still stream sharing the
  // video pipe (the simulated camera's gives the video stream only).
  void GiveStillStream() {
    device()->NumberOfStreams = 2;
    device()->StillIsVirtual = 1;
  }

  NTSTATUS Open(TestStream& stream, ULONG number, ULONG width = 320, ULONG height = 240) {
    KS_VIDEOINFOHEADER& info = stream.format.VideoInfoHeader;
    stream.format.DataFormat.FormatSize = sizeof stream.format;
    info.rcSource = info.rcTarget = {0, 0, LONG(width), LONG(height)};
    info.AvgTimePerFrame = number == 0 ? 333333 : 10'000'000;
    info.bmiHeader = {sizeof(KS_BITMAPINFOHEADER),
                      LONG(width),
                      LONG(height),
                      1,
                      12,
                      kI420,
                      width * height * 3 / 2,
                      0,
                      0,
                      0,
                      0};
    stream.format.DataFormat.SampleSize = info.bmiHeader.biSizeImage;
    stream.channel =
        static_cast<Channel*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Channel), kClassPoolTag));
    RtlZeroMemory(stream.channel, sizeof(Channel));
    stream.object = {};
    stream.object.StreamNumber = number;
    stream.object.HwStreamExtension = stream.channel;
    stream.object.HwDeviceExtension = device();
    HW_STREAM_REQUEST_BLOCK srb{};
    srb.Command = SRB_OPEN_STREAM;
    srb.HwDeviceExtension = device();
    srb.StreamObject = &stream.object;
    srb.CommandData.OpenFormat = &stream.format.DataFormat;
    const NTSTATUS status = OpenStream(&srb);
    stream.open = NT_SUCCESS(status);
    if (!stream.open) ExFreePool(stream.channel);
    return status;
  }

  void Close(TestStream& stream) {
    if (!stream.open) return;
    HW_STREAM_REQUEST_BLOCK srb{};
    srb.Command = SRB_CLOSE_STREAM;
    srb.HwDeviceExtension = device();
    srb.StreamObject = &stream.object;
    EXPECT_EQ(CloseStream(&srb), STATUS_SUCCESS);
    ExFreePool(stream.channel);
    stream.open = false;
  }

  NTSTATUS SetState(TestStream& stream, ULONG state) {
    ControlRequest request(stream, SRB_SET_STREAM_STATE);
    RtlCopyMemory(&request.srb.CommandData, &state, sizeof state);  // any value, as a client may
    completions_.erase(&request.srb);  // an earlier request may have had this address
    stream.object.ReceiveControlPacket(&request.srb);
    EXPECT_EQ(completions_[&request.srb], 1);
    return request.srb.Status;
  }

  // Opens the video stream and brings it to the run state.
  void Run(TestStream& stream, ULONG number = 0) {
    ASSERT_EQ(Open(stream, number), STATUS_SUCCESS);
    ASSERT_EQ(SetState(stream, KSSTATE_PAUSE), STATUS_SUCCESS);
    ASSERT_EQ(SetState(stream, KSSTATE_RUN), STATUS_SUCCESS);
  }

  ReadRequest* Read(TestStream& stream) {
    reads_.push_back(std::make_unique<ReadRequest>(
        stream.format.VideoInfoHeader.bmiHeader.biSizeImage, &stream.object));
    stream.object.ReceiveDataPacket(&reads_.back()->srb);
    return reads_.back().get();
  }

  int Completions(ReadRequest* read) {
    std::lock_guard lock(mutex_);
    return completions_[&read->srb];
  }
  int Done(NTSTATUS status) {
    int count = 0;
    for (auto& read : reads_) count += Completions(read.get()) != 0 && read->srb.Status == status;
    return count;
  }
  bool PumpUntil(const std::function<bool()>& done, LONGLONG timeout = host::Seconds(5)) {
    const std::uint64_t deadline = host::Now() + static_cast<std::uint64_t>(timeout);
    return host::PumpUntil(done, &deadline);
  }
  // Every read came back exactly once.
  void ExpectEveryReadBackOnce() {
    for (auto& read : reads_) EXPECT_EQ(Completions(read.get()), 1);
  }

  std::filesystem::path root_;
  sim::FrameStreamer streamer_{sim::MakeMovingScene()};
  sim::SimulatedCamera camera_;  // outlives the bus, which unplugs it when destroyed
  host::UsbBus bus_;
  DeviceExtension ext_;
  TestStream video_;
  TestStream still_;
  std::mutex mutex_;
  std::map<HW_STREAM_REQUEST_BLOCK*, int> completions_;
  std::vector<std::unique_ptr<ReadRequest>> reads_;
};

}  // namespace veltocam::test
