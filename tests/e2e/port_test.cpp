// The driver as the platform loads it: registration, device start through
// the port, the stream information, the data-range answers a capture client
// gets, the service interface, the device event, the filter's stream
// handlers, uninitialisation and removal.
#include <gtest/gtest.h>

#include "classlayer/bulk.h"
#include "classlayer/device.h"
#include "classlayer/device_events.h"
#include "classlayer/frame_request.h"
#include "classlayer/frameengine.h"
#include "classlayer/recovery.h"
#include "classlayer/video_format.h"
#include "client/capture_client.h"
#include "driver/driver_entry.h"
#include "driver/request_filter.h"
#include "platform/host/pool.h"
#include "platform/host/scheduler.h"
#include "platform/host/trace.h"
#include "platform/host/usb_bus.h"
#include "properties/formats.h"
#include "sim/camera_model.h"
#include "sim/frame_streamer.h"
#include "sim/simulated_camera.h"
#include "support/camera_rig.h"

namespace veltocam::test {
namespace {

class PortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetDeviceLayerState();
    ASSERT_TRUE(sim::LoadCameraModelSettings());
    bus_.Attach(camera_);
    ASSERT_EQ(port_.LoadDriver(DriverEntry), STATUS_SUCCESS);
  }
  void TearDown() override { ExpectNoProtocolViolations(camera_); }
  void Start() {
    ASSERT_EQ(port_.AddDevice(bus_.DeviceObject(), &device_), STATUS_SUCCESS);
    ASSERT_EQ(client_.FindDevice(), STATUS_SUCCESS);
  }
  ClassDevice* Device() { return static_cast<ClassDevice*>(port_.DeviceExtension(device_)); }
  DeviceContext* Context() { return static_cast<DeviceContext*>(DeviceContextOf(Device())); }

  // A query-interface request to the device object, as another driver sends it.
  NTSTATUS QueryInterface(const GUID& type, USHORT size, USHORT version, ServiceInterface* record,
                          UCHAR minor = IRP_MN_QUERY_INTERFACE) {
    DEVICE_OBJECT* object = port_.DeviceObject(device_);
    IRP* irp = IoAllocateIrp(object->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = minor;
    next->Parameters.QueryInterface = {&type, size, version, reinterpret_cast<INTERFACE*>(record),
                                       nullptr};
    IoSetCompletionRoutine(irp, Keep, nullptr, TRUE, TRUE, TRUE);
    const NTSTATUS status = IoCallDriver(object, irp);
    IoFreeIrp(irp);
    return status;
  }

  static NTSTATUS Keep(DEVICE_OBJECT*, IRP*, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

  sim::SimulatedCamera camera_;
  host::UsbBus bus_;
  host::StreamClassPort port_;
  host::PortDevice* device_ = nullptr;
  client::CaptureClient client_{port_};
};

TEST_F(PortTest, TheDriverRegistersTheRecordTheClassLayerFills) {
  const HW_INITIALIZATION_DATA& r = port_.Registration();
  EXPECT_EQ(r.HwInitializationDataSize, sizeof(HW_INITIALIZATION_DATA));
  EXPECT_EQ(r.HwInterrupt, nullptr);
  EXPECT_EQ(r.HwReceivePacket, &FilterDeviceRequest);
  EXPECT_EQ(r.HwCancelPacket, &CancelReadRequest);
  EXPECT_EQ(r.HwRequestTimeoutHandler, &ReadRequestTimeout);
  EXPECT_EQ(r.DeviceExtensionSize, sizeof(ClassDevice) + sizeof(DeviceContext));
  EXPECT_EQ(r.PerRequestExtensionSize, sizeof(FrameRequest) + 4);
  EXPECT_EQ(r.PerStreamExtensionSize, sizeof(Channel));
  EXPECT_EQ(r.FilterInstanceExtensionSize, 0u);
  EXPECT_FALSE(r.BusMasterDMA || r.Dma24BitAddresses);
  EXPECT_EQ(r.BufferAlignment, 3u);
  EXPECT_TRUE(r.TurnOffSynchronization);
  EXPECT_EQ(r.DmaBufferSize, 0u);
  EXPECT_EQ(r.NumNameExtensions, 0u);
}

TEST_F(PortTest, AStartedDeviceDescribesOneCaptureStreamWithTheSnapshotEvent) {
  Start();
  ClassDevice* d = Device();
  EXPECT_EQ(d->DeviceState, kDeviceStarted);
  EXPECT_EQ(d->Version, kCallbackTableVersion);
  EXPECT_EQ(d->ControlFlags, 0x0Cu);
  EXPECT_EQ(d->ClassDeviceObject, port_.DeviceObject(device_));
  EXPECT_EQ(d->BusDeviceObject, bus_.DeviceObject());
  EXPECT_EQ(Context()->ClassDeviceObject, port_.DeviceObject(device_));
  EXPECT_EQ(Context()->LowerDeviceObject, bus_.DeviceObject());
  const ULONG flags = port_.DeviceObject(device_)->Flags;
  EXPECT_EQ(flags & (DO_DIRECT_IO | DO_DEVICE_INITIALIZING), DO_DIRECT_IO);

  const HW_STREAM_HEADER& h = port_.StreamInformation(device_)->StreamHeader;
  EXPECT_EQ(h.NumberOfStreams, 1u);
  EXPECT_EQ(h.SizeOfHwStreamInformation, sizeof(HW_STREAM_INFORMATION));
  ASSERT_EQ(h.Topology->CategoriesCount, 3u);
  EXPECT_TRUE(h.Topology->Categories[0] == KSCATEGORY_VIDEO);
  EXPECT_TRUE(h.Topology->Categories[1] == PINNAME_VIDEO_STILL);
  EXPECT_TRUE(h.Topology->Categories[2] == KSCATEGORY_CAPTURE);
  ASSERT_EQ(h.NumDevEventArrayEntries, 1u);
  EXPECT_TRUE(*h.DeviceEventsArray[0].Set == kSnapshotEventSet);
  EXPECT_EQ(h.DeviceEventsArray[0].EventsCount, 1u);
  EXPECT_EQ(h.DeviceEventRoutine, &EventEnable);
  EXPECT_EQ(h.NumDevPropArrayEntries, 3u);

  const HW_STREAM_INFORMATION& s = port_.StreamInformation(device_)->StreamInfo[0];
  EXPECT_EQ(s.NumberOfPossibleInstances, 1u);
  EXPECT_EQ(s.DataFlow, KSPIN_DATAFLOW_OUT);
  EXPECT_TRUE(s.DataAccessible);
  EXPECT_TRUE(*s.Name == PINNAME_VIDEO_CAPTURE && *s.Category == PINNAME_VIDEO_CAPTURE);
  ASSERT_EQ(s.NumStreamPropArrayEntries, 2u);
  EXPECT_TRUE(*s.StreamPropertiesArray[0].Set == KSPROPSETID_Connection);
  EXPECT_TRUE(*s.StreamPropertiesArray[1].Set == PROPSETID_VIDCAP_DROPPEDFRAMES);
  EXPECT_EQ(s.NumberOfFormatArrayEntries, 10u);
}

TEST_F(PortTest, AClientGetsEveryListedFormatAndOpensOnlyListedOnes) {
  Start();
  std::vector<client::StreamInfo> streams = client_.Streams();
  ASSERT_EQ(streams.size(), 1u);
  EXPECT_EQ(streams[0].name, "capture");
  for (const client::FormatInfo& listed : streams[0].formats) {
    SCOPED_TRACE(listed.index);
    std::vector<std::uint8_t> format;
    KS_DATARANGE_VIDEO range = client::CaptureClient::RangeFor(listed);
    ASSERT_EQ(client_.Intersect(0, range.DataRange, &format), STATUS_SUCCESS);
    ASSERT_EQ(format.size(), 152u);
    EXPECT_TRUE(VerifyDataFormat(reinterpret_cast<KSDATAFORMAT*>(format.data()), 0));
    // A listed format passes the filter to the class layer's stream open.
    std::unique_ptr<client::CaptureStream> stream;
    EXPECT_NE(client_.Open(0, format, &stream), STATUS_INVALID_PARAMETER);
    if (stream) {
      EXPECT_EQ(stream->Close(), STATUS_SUCCESS);
    }
  }
  // An unlisted one never reaches it, and no stream is marked open.
  Context()->StreamOpen = 0;  // the listed ones set it
  KS_DATARANGE_VIDEO iyuv = streams[0].formats[0].range;
  iyuv.DataRange.SubFormat = FourccSubtype(kFourccIyuv);
  std::vector<std::uint8_t> format;
  EXPECT_EQ(client_.Intersect(0, iyuv.DataRange, &format), STATUS_NO_MATCH);
  format.assign(152, 0);
  RtlCopyMemory(format.data(), &iyuv.DataRange, sizeof(KSDATAFORMAT));
  RtlCopyMemory(format.data() + sizeof(KSDATAFORMAT), &iyuv.VideoInfoHeader, 88);
  reinterpret_cast<KSDATAFORMAT*>(format.data())->FormatSize = 152;
  std::unique_ptr<client::CaptureStream> stream;
  EXPECT_EQ(client_.Open(0, format, &stream), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Context()->StreamOpen, 0);
  EXPECT_EQ(client_.Open(1, format, &stream), STATUS_INVALID_PARAMETER);  // not described
}

TEST_F(PortTest, TheServiceInterfaceIsObtainedAtStartAndAnsweredOnlyAsAsked) {
  Start();
  const ServiceInterface& s = Context()->Services;
  EXPECT_EQ(s.Size, sizeof(ServiceInterface));
  EXPECT_EQ(s.Version, kServiceInterfaceVersion);
  EXPECT_EQ(s.InterruptWait, &InterruptWait);
  EXPECT_EQ(s.BulkTransfer, &BulkTransfer);
  EXPECT_EQ(s.ChangeVideoFormat, &ChangeVideoFormat);
  EXPECT_EQ(s.IsoPipeControl, &IsoPipeControl);
  EXPECT_EQ(s.BulkCancel, &BulkCancel);

  struct Case {
    const GUID* type;
    USHORT size;
    USHORT version;
    UCHAR minor;
    NTSTATUS status;
  };
  const GUID other = KSCATEGORY_VIDEO;
  const USHORT size = sizeof(ServiceInterface);
  const Case cases[] = {
      {&kServiceInterfaceGuid, size, 0x200, IRP_MN_QUERY_INTERFACE, STATUS_SUCCESS},
      {&kServiceInterfaceGuid, size, 0x100, IRP_MN_QUERY_INTERFACE, STATUS_NOT_SUPPORTED},
      {&kServiceInterfaceGuid, static_cast<USHORT>(size + 4), 0x200, IRP_MN_QUERY_INTERFACE,
       STATUS_NOT_SUPPORTED},
      {&other, size, 0x200, IRP_MN_QUERY_INTERFACE, STATUS_NOT_SUPPORTED},
      {&kServiceInterfaceGuid, size, 0x200, 0x07, STATUS_NOT_SUPPORTED},  // not answered
  };
  for (const Case& c : cases) {
    ServiceInterface record{};
    record.Context = &record;
    const NTSTATUS status = QueryInterface(*c.type, c.size, c.version, &record, c.minor);
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(record.Context, &record);  // left as the requester filled it
    EXPECT_EQ(record.IsoPipeControl != nullptr, NT_SUCCESS(c.status));
    EXPECT_EQ(record.Version, NT_SUCCESS(c.status) ? kServiceInterfaceVersion : 0);
  }
}

TEST_F(PortTest, TheSnapshotEventReachesClientsOnlyWhileEnabled) {
  Start();
  SignalSnapshotEvent(Device());
  EXPECT_EQ(port_.DeviceEventsSignalled(device_), 0u);
  EXPECT_EQ(client_.EnableDeviceEvent(true), STATUS_SUCCESS);
  EXPECT_EQ(Device()->EventEnableCount, 1);
  SignalSnapshotEvent(Device());
  EXPECT_EQ(port_.DeviceEventsSignalled(device_), 1u);
  EXPECT_EQ(client_.EnableDeviceEvent(false), STATUS_SUCCESS);
  EXPECT_EQ(Device()->EventEnableCount, 0);
  SignalSnapshotEvent(Device());
  EXPECT_EQ(port_.DeviceEventsSignalled(device_), 1u);
}

TEST_F(PortTest, UninitialisationWithAStreamOpenWaitsForTheLastClose) {
  Start();
  const client::FormatInfo listed = client_.Streams()[0].formats[0];
  std::vector<std::uint8_t> format;
  ASSERT_EQ(client_.Intersect(0, client::CaptureClient::RangeFor(listed).DataRange, &format),
            STATUS_SUCCESS);
  std::unique_ptr<client::CaptureStream> stream;
  ASSERT_EQ(client_.Open(0, format, &stream), STATUS_SUCCESS);
  ASSERT_EQ(stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
  ASSERT_EQ(stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  stream->QueueReads(2);

  EXPECT_EQ(port_.Uninitialize(device_), STATUS_SUCCESS);
  EXPECT_EQ(Device()->DeviceState, kDeviceRemoved);
  EXPECT_EQ(Device()->Channel[0]->Streaming, 0u);
  EXPECT_NE(Device()->DeviceDescriptor, nullptr);
  EXPECT_NE(Context()->RawImageBuffer, nullptr);  // UnInitialize has not run

  EXPECT_EQ(stream->Close(), STATUS_SUCCESS);
  EXPECT_EQ(stream->ReadsAtDriver(), 0u);
  EXPECT_EQ(Device()->DeviceDescriptor, nullptr);
  EXPECT_EQ(Device()->InterfaceInfo, nullptr);
  EXPECT_EQ(Context()->RawImageBuffer, nullptr);
  stream.reset();
  port_.RemoveDevice(device_);
  EXPECT_EQ(port_.Devices().size(), 0u);
  EXPECT_EQ(host::OutstandingBlocks(), 0u);
}

TEST_F(PortTest, RemovingTheCameraLeavesNothingAllocatedAndNoRequestBehind) {
  Start();
  EXPECT_EQ(port_.SetPowerState(device_, PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(port_.DeviceRequest(device_, SRB_PAGING_OUT_DRIVER, {}), STATUS_SUCCESS);
  EXPECT_EQ(port_.DeviceRequest(device_, SRB_GET_DEVICE_PROPERTY, {}), STATUS_INVALID_PARAMETER);
  bus_.Detach();
  port_.RemoveDevice(device_);
  EXPECT_EQ(port_.Devices().size(), 0u);
  EXPECT_EQ(host::OutstandingBlocks(), 0u);
}

TEST_F(PortTest, DeviceRequestsWithoutAnAnswerAreRefusedAndCompleted) {
  Start();
  // An unknown device command carries the request it came from.
  IRP* irp = IoAllocateIrp(1, FALSE);
  IoSetNextIrpStackLocation(irp);
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  struct Case {
    SRB_COMMAND command;
    UCHAR major;  // of the request behind an unknown device command
    UCHAR minor;
    NTSTATUS status;
    bool traced;
  };
  const Case cases[] = {
      {SRB_PAGING_OUT_DRIVER, 0, 0, STATUS_SUCCESS, false},
      {SRB_OPEN_DEVICE_INSTANCE, 0, 0, STATUS_NOT_IMPLEMENTED, false},
      {SRB_CLOSE_DEVICE_INSTANCE, 0, 0, STATUS_NOT_IMPLEMENTED, false},
      {static_cast<SRB_COMMAND>(0x1FF), 0, 0, STATUS_NOT_IMPLEMENTED, false},
      {SRB_UNKNOWN_DEVICE_COMMAND, IRP_MJ_POWER, IRP_MN_SET_POWER, STATUS_NOT_IMPLEMENTED, true},
      {SRB_UNKNOWN_DEVICE_COMMAND, IRP_MJ_PNP, 0x07, STATUS_NOT_IMPLEMENTED, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "request 0x" << std::hex << c.command);
    host::TraceCapture trace;
    stack->MajorFunction = c.major;
    stack->MinorFunction = c.minor;
    EXPECT_EQ(port_.DeviceRequest(device_, c.command,
                                  [irp](HW_STREAM_REQUEST_BLOCK* srb) { srb->Irp = irp; }),
              c.status);
    EXPECT_EQ(trace.Contains("&&&&&&&&&&&&&&&&&"), c.traced);
  }
  IoFreeIrp(irp);
  EXPECT_EQ(port_.PendingRequests(device_), 0u);
}

TEST_F(PortTest, AFailedAllocationAnywhereInTheStartLeavesNothingBehind) {
  for (std::uint64_t n = 1;; ++n) {
    SCOPED_TRACE(n);
    ResetDeviceLayerState();
    const std::uint64_t failedBefore = host::FailedAllocationCount();
    host::FailNthAllocation(n);
    const NTSTATUS status = port_.AddDevice(bus_.DeviceObject(), &device_);
    const bool failed = host::FailedAllocationCount() != failedBefore;
    host::FailNthAllocation(0);
    if (NT_SUCCESS(status)) port_.RemoveDevice(device_);
    EXPECT_EQ(host::OutstandingBlocks(), 0u);
    EXPECT_EQ(port_.Devices().size(), 0u);
    if (!failed) {
      EXPECT_EQ(status, STATUS_SUCCESS);
      break;
    }
    ASSERT_LT(n, 5000u);
  }
}

// The filter's stream control handler on a stream the class layer keeps.
class StreamHandlerTest : public PortTest {
 protected:
  void SetUp() override {
    PortTest::SetUp();
    Start();
    KeInitializeSemaphore(&channel_.WorkLock, 1, 1);
    InitializeListHead(&channel_.FinishedFrames);
    stream_.StreamNumber = 0;
    stream_.HwStreamExtension = &channel_;
    stream_.HwDeviceExtension = nullptr;  // not a stream the port opened
    const KS_DATARANGE_VIDEO& listed = Entry(3);
    format_.DataFormat = listed.DataRange;
    format_.DataFormat.FormatSize = sizeof format_;
    format_.VideoInfoHeader = listed.VideoInfoHeader;
  }
  void TearDown() override {
    if (channel_.VideoInfo != nullptr) ExFreePool(channel_.VideoInfo);
    PortTest::TearDown();
  }
  static const KS_DATARANGE_VIDEO& Entry(ULONG index) {
    ULONG count = 0;
    return *StreamFormats(0, &count)[index];
  }
  // Runs the handler; returns whether it handled the request.
  bool Handle(SRB_COMMAND command) {
    srb_ = {};
    srb_.Command = command;
    srb_.StreamObject = &stream_;
    srb_.HwDeviceExtension = Device();
    srb_.CommandData.OpenFormat = &format_.DataFormat;
    BOOLEAN handled = 7;
    StreamControlHandler(&srb_, &handled);
    if (handled) {
      EXPECT_EQ(host::TakeCompletedRequests().size(), 1u);
    }
    return handled != 0;
  }

  Channel channel_{};
  HW_STREAM_OBJECT stream_{};
  HW_STREAM_REQUEST_BLOCK srb_{};
  KS_DATAFORMAT_VIDEOINFOHEADER format_{};
};

TEST_F(StreamHandlerTest, FormatRequestsAreVettedBeforeTheClassLayer) {
  ASSERT_TRUE(Handle(SRB_PROPOSE_DATA_FORMAT));
  EXPECT_EQ(srb_.Status, STATUS_SUCCESS);
  ASSERT_TRUE(Handle(SRB_GET_DATA_FORMAT));
  EXPECT_EQ(srb_.Status, STATUS_NOT_IMPLEMENTED);
  EXPECT_FALSE(Handle(SRB_GET_STREAM_STATE));

  // A stream the class layer has not opened keeps no format to change.
  Context()->RealImageWidth = 640;
  ASSERT_TRUE(Handle(SRB_SET_DATA_FORMAT));
  EXPECT_EQ(srb_.Status, STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(Context()->RealImageWidth, 640u);

  format_.VideoInfoHeader.bmiHeader.biSizeImage = 0;
  ASSERT_TRUE(Handle(SRB_PROPOSE_DATA_FORMAT));
  EXPECT_EQ(srb_.Status, STATUS_NO_MATCH);
  ASSERT_TRUE(Handle(SRB_SET_DATA_FORMAT));
  EXPECT_EQ(srb_.Status, STATUS_NO_MATCH);
}

TEST_F(StreamHandlerTest, WithoutTheServiceInterfaceSetFormatChangesNothing) {
  Context()->Services.Version = 0;
  Context()->RealImageWidth = 640;
  ASSERT_TRUE(Handle(SRB_SET_DATA_FORMAT));
  EXPECT_EQ(srb_.Status, STATUS_SUCCESS);
  EXPECT_EQ(channel_.VideoInfo, nullptr);
  EXPECT_EQ(Context()->RealImageWidth, 640u);
}

// A capture stream of the simulated camera opened through the client, to
// which formats of other sizes are set.
class FormatChangeTest : public PortTest {
 protected:
  void SetUp() override {
    PortTest::SetUp();
    camera_.SetPacketSource(&streamer_);
    Start();
    ASSERT_EQ(client_.Open(0, Format(1), &stream_), STATUS_SUCCESS);  // 160 x 120
  }
  void TearDown() override {
    if (stream_) {
      EXPECT_EQ(stream_->Close(), STATUS_SUCCESS);
    }
    stream_.reset();
    port_.RemoveDevice(device_);
  }
  // Listed format `index` as the driver's intersection answers it.
  std::vector<std::uint8_t> Format(ULONG index) {
    const client::FormatInfo listed = client_.Streams()[0].formats[index];
    std::vector<std::uint8_t> format;
    EXPECT_EQ(client_.Intersect(0, client::CaptureClient::RangeFor(listed).DataRange, &format),
              STATUS_SUCCESS);
    return format;
  }
  void Run() {
    ASSERT_EQ(stream_->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    ASSERT_EQ(stream_->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  }
  // Takes frames until `count` whole ones in a row have `bytes` bytes; reads
  // given back by a stop or a format change are passed over.
  void ExpectPictures(ULONG count, std::size_t bytes) {
    ULONG whole = 0;
    for (int taken = 0; whole < count && taken < 40; ++taken) {
      client::CapturedFrame frame;
      ASSERT_TRUE(stream_->NextFrame(&frame, host::Seconds(5)));
      if (frame.status == STATUS_CANCELLED) continue;
      ASSERT_EQ(frame.status, STATUS_SUCCESS);
      if (whole == 0 && frame.data.size() != bytes) continue;  // one sized before the change
      ASSERT_EQ(frame.data.size(), bytes);
      ++whole;
    }
    EXPECT_EQ(whole, count);
  }
  const Channel* Video() { return Device()->Channel[0]; }

  sim::FrameStreamer streamer_{sim::MakeMovingScene()};
  std::unique_ptr<client::CaptureStream> stream_;
};

TEST_F(FormatChangeTest, AnotherSizeIsRefusedWhileRunningAndTakenWhileStopped) {
  Run();
  stream_->QueueReads(3);
  ExpectPictures(2, 160 * 120 * 3 / 2);

  EXPECT_EQ(stream_->ProposeFormat(Format(4)), STATUS_SUCCESS);  // 640 x 480
  EXPECT_EQ(stream_->SetFormat(Format(4)), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(Context()->RealImageWidth, 160u);
  EXPECT_EQ(Video()->VideoInfo->bmiHeader.biWidth, 160);
  ExpectPictures(3, 160 * 120 * 3 / 2);

  ASSERT_EQ(stream_->SetState(KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(stream_->ProposeFormat(Format(4)), STATUS_SUCCESS);
  ASSERT_EQ(stream_->SetFormat(Format(4)), STATUS_SUCCESS);
  EXPECT_EQ(Context()->RealImageWidth, 640u);
  EXPECT_EQ(Context()->RealImageHeight, 480u);
  EXPECT_EQ(Video()->VideoInfo->bmiHeader.biSizeImage, 460800u);
  EXPECT_GE(Video()->RawFrameLength, 640u * 480 * 3 / 2);
  Run();
  ExpectPictures(4, 640 * 480 * 3 / 2);

  // A change of frame rate alone is taken while running.
  std::vector<std::uint8_t> slower = Format(4);
  reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(slower.data())->VideoInfoHeader.AvgTimePerFrame =
      666666;
  EXPECT_EQ(stream_->SetFormat(slower), STATUS_SUCCESS);
  EXPECT_EQ(Video()->VideoInfo->AvgTimePerFrame, 666666);
  ExpectPictures(2, 640 * 480 * 3 / 2);
}

// Whichever allocation fails while the stream is prepared for the new size,
// the old format stays in force and prepared; the change that succeeds in
// the end is the one whose pictures come.
TEST_F(FormatChangeTest, AChangeThatFailsAnywhereKeepsTheOldFormatPrepared) {
  stream_->QueueReads(2);  // in the stop state they come straight back
  const ULONG rawLength = Video()->RawFrameLength;
  for (std::uint64_t n = 1;; ++n) {
    SCOPED_TRACE(n);
    const std::uint64_t failedBefore = host::FailedAllocationCount();
    host::FailNthAllocation(n);
    const NTSTATUS status = stream_->SetFormat(Format(4));
    const bool failed = host::FailedAllocationCount() != failedBefore;
    host::FailNthAllocation(0);
    if (!failed) {
      ASSERT_EQ(status, STATUS_SUCCESS);
      break;
    }
    ASSERT_EQ(Video()->Prepared, 1u);
    if (NT_SUCCESS(status)) {
      // The driver did without what it could not have: start over.
      ASSERT_EQ(stream_->SetFormat(Format(1)), STATUS_SUCCESS);
      continue;
    }
    EXPECT_EQ(Context()->RealImageWidth, 160u);
    EXPECT_EQ(Video()->VideoInfo->bmiHeader.biWidth, 160);
    EXPECT_EQ(Video()->RawFrameLength, rawLength);
    ASSERT_LT(n, 2000u);
  }
  Run();
  ExpectPictures(2, 640 * 480 * 3 / 2);
}

}  // namespace
}  // namespace veltocam::test
