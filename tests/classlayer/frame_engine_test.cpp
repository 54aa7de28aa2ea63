// The frame engine's packet walk, read queue and request completion, driven
// with hand-made transfers and a scripted device layer.
#include <algorithm>
#include <vector>

#include "classlayer/device_events.h"
#include "classlayer/frame_engine_harness.h"
#include "classlayer/streams.h"

namespace veltocam::test {
namespace {

using host::FailNthAllocation;

TEST_F(FrameEngineTest, AFrameCollectsItsPacketsAndCompletesWhenTheNextOneStarts) {
  auto first = Queue();
  auto second = Queue();
  Walk({Start("ab"), Continue("cd"), Continue("ef"), Start("gh")});
  auto done = Completed();
  ASSERT_EQ(done, (std::vector<HW_STREAM_REQUEST_BLOCK*>{&first->srb}));
  EXPECT_EQ(first->srb.Status, STATUS_SUCCESS);
  EXPECT_EQ(first->Text(), "abcdef");
  EXPECT_EQ(scripted_.calls, (std::vector<std::string>{"raw 3 6 stream 0"}));
  EXPECT_EQ(channel_->Current, static_cast<FrameRequest*>(second->srb.SRBExtension));
  EXPECT_EQ(scripted_.newFrames, 2);
}

TEST_F(FrameEngineTest, ACountOfOneCountsThePacketAndZeroIgnoresIt) {
  auto request = Queue();
  Queue();
  Walk({Start("ab"), Counted('C', 1, "xx"), Counted('C', 0, "yy"), Continue("c"), Start("")});
  EXPECT_EQ(scripted_.calls, (std::vector<std::string>{"raw 3 3 stream 0"}));
  EXPECT_EQ(request->Text(), "abc");
}

TEST_F(FrameEngineTest, RawBufferBoundsDifferByOneByteBetweenFirstAndLaterPackets) {
  channel_->RawFrameLength = 8;
  // A first packet whose n - 1 equals the buffer size is copied.
  auto exact = Queue();
  auto second = Queue();
  Walk({Start("12345678"), Continue("9"), Start("abcde")});
  EXPECT_EQ(exact->Text(), "12345678");
  EXPECT_EQ(scripted_.lastActual, 8u);

  // A later packet needs n bytes of room: 5 + 3 fits, then 7 + 2 does not,
  // although its single byte would.
  Queue();
  Walk({Continue("fg"), Continue("h"), Start("")});
  EXPECT_EQ(Completed().size(), 2u);
  EXPECT_EQ(second->Text(), "abcdefg");
  EXPECT_EQ(scripted_.lastActual, 7u);
}

TEST_F(FrameEngineTest, AFirstPacketLargerThanTheBufferIsCountedButNotCopied) {
  channel_->RawFrameLength = 4;
  videoInfo_.bmiHeader.biSizeImage = 4;
  auto request = Queue(4);
  Queue(4);
  Walk({Start("123456"), Start("")});
  EXPECT_EQ(scripted_.lastActual, 6u);
  EXPECT_LE(request->header.header.DataUsed, 4u);
}

TEST_F(FrameEngineTest, AFrameStartingWithoutARequestIsLostAndShowsAsADrop) {
  channel_->MasterClock = host::CreateMasterClock();
  auto first = Queue();
  Walk({Start("A"), Start("B")});  // A fills `first`; B finds no request
  ASSERT_EQ(Completed().size(), 1u);
  EXPECT_EQ(first->info().PictureNumber, 0);
  EXPECT_EQ(first->info().DropCount, 0);

  host::AdvanceTime(2 * videoInfo_.AvgTimePerFrame);
  auto second = Queue();
  Walk({Continue("b"), Start("C"), Start("D")});
  ASSERT_EQ(Completed().size(), 1u);
  EXPECT_EQ(second->Text(), "C");
  EXPECT_EQ(second->info().PictureNumber, 2);
  EXPECT_EQ(second->info().DropCount, 1);
  EXPECT_EQ(second->header.header.OptionsFlags, KSSTREAM_HEADER_OPTIONSF_SPLICEPOINT |
                                                    KSSTREAM_HEADER_OPTIONSF_TIMEVALID |
                                                    KSSTREAM_HEADER_OPTIONSF_DURATIONVALID);
  EXPECT_EQ(second->header.header.PresentationTime.Time, 2 * videoInfo_.AvgTimePerFrame);
}

TEST_F(FrameEngineTest, WithoutAMasterClockTimesAndPictureNumbersStayZero) {
  auto request = Queue();
  Queue();
  host::AdvanceTime(host::Seconds(3));
  Walk({Start("x"), Start("y")});
  KSSTREAM_HEADER& h = request->header.header;
  EXPECT_EQ(h.PresentationTime.Time, 0);
  EXPECT_EQ(h.PresentationTime.Numerator, 1u);
  EXPECT_EQ(h.Duration, videoInfo_.AvgTimePerFrame);
  EXPECT_EQ(h.OptionsFlags, KSSTREAM_HEADER_OPTIONSF_SPLICEPOINT);
  EXPECT_EQ(request->info().PictureNumber, 0);
  EXPECT_EQ(request->info().ExtendedHeaderSize, sizeof(KS_FRAME_INFO));
}

TEST_F(FrameEngineTest, AZeroFrameDurationNumbersPicturesByFramesDelivered) {
  videoInfo_.AvgTimePerFrame = 0;
  channel_->MasterClock = host::CreateMasterClock();
  std::vector<ReadRequest*> requests;
  for (int i = 0; i < 4; ++i) requests.push_back(Queue());
  for (char frame = 'a'; frame <= 'd'; ++frame) {
    host::AdvanceTime(host::Milliseconds(40));
    Walk({Start(std::string(1, frame))});
  }
  ASSERT_EQ(Completed().size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(requests[i]->info().PictureNumber, i);
    EXPECT_EQ(requests[i]->info().DropCount, 0);
  }
}

TEST_F(FrameEngineTest, TheDropFlagSendsTheRequestBackToReceiveTheNextFrame) {
  auto request = Queue();
  Walk({Start("a"), Continue("b", kPacketDropFrame), Start("c"), Start("d")});
  ASSERT_EQ(Completed().size(), 1u);
  EXPECT_EQ(request->Text(), "c");
  EXPECT_EQ(scripted_.newFrames, 2);
  EXPECT_EQ(channel_->FramesCompleted, 0);
}

TEST_F(FrameEngineTest, RequestsCompleteInQueueOrderOneFramePerRequest) {
  std::vector<ReadRequest*> requests;
  for (int i = 0; i < 3; ++i) requests.push_back(Queue());
  std::vector<std::string> packets;
  for (int frame = 0; frame < 10; ++frame) packets.push_back(Start(std::to_string(frame)));
  Walk(packets);
  auto done = Completed();
  ASSERT_EQ(done.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(done[i], &requests[i]->srb);
    EXPECT_EQ(requests[i]->Text(), std::to_string(i));
  }
  EXPECT_EQ(channel_->Current, nullptr);
}

// Finished frames wait in the work queue; their items may run on two worker
// threads and take the channel's work lock in either order, yet the reads
// complete in queue order.
TEST_F(FrameEngineTest, FramesCompleteInQueueOrderWhicheverItemRunsFirst) {
  for (std::uint64_t seed = 1; seed <= 32; ++seed) {
    SCOPED_TRACE(seed);
    host::SetScheduleSeed(seed);
    std::vector<ReadRequest*> requests;
    for (int i = 0; i < 3; ++i) requests.push_back(Queue());
    Walk({Start("a"), Start("b"), Start("c"), Start("d")});
    host::RunUntilIdle();
    const auto done = Completed();
    ASSERT_EQ(done.size(), 3u);
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(done[i], &requests[i]->srb);
      EXPECT_EQ(requests[i]->Text(), std::string(1, static_cast<char>('a' + i)));
    }
  }
  host::SetScheduleSeed(0);
}

TEST_F(FrameEngineTest, CancelFindsTheRequestWhereverItWaitsAndReleasesItsBuffer) {
  auto current = Queue();
  auto queued = Queue();
  Walk({Start("a")});
  const std::size_t blocks = host::OutstandingBlocks(kClassPoolTag);

  CancelReadRequest(&current->srb);
  CancelReadRequest(&queued->srb);
  CancelReadRequest(&queued->srb);  // found nowhere now: left alone
  auto done = Completed();
  ASSERT_EQ(done.size(), 2u);
  EXPECT_EQ(current->srb.Status, STATUS_CANCELLED);
  EXPECT_EQ(queued->srb.Status, STATUS_CANCELLED);
  EXPECT_EQ(current->header.header.DataUsed, 0u);
  EXPECT_EQ(host::OutstandingBlocks(kClassPoolTag), blocks - 2);
  EXPECT_EQ(channel_->Current, nullptr);
  Walk({Continue("b"), Start("c")});  // nothing to fill: nothing happens
  EXPECT_TRUE(Completed().empty());
}

TEST_F(FrameEngineTest, ATimeOutQueuesOneRecoveryAndReloadsTheCounter) {
  auto request = Queue();
  request->srb.TimeoutCounter = 0;
  // At DISPATCH_LEVEL, where the port calls it: the recovery cannot start yet.
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  ReadRequestTimeout(&request->srb);
  EXPECT_EQ(request->srb.TimeoutCounter, kVideoReadTimeoutSeconds);
  EXPECT_EQ(ext_.device()->ResetCount[0], 0);
  EXPECT_EQ(host::QueuedWorkItemCount(), 1u);
  ReadRequestTimeout(&request->srb);  // one recovery at a time
  EXPECT_EQ(host::QueuedWorkItemCount(), 1u);
  KeLowerIrql(old);
  EXPECT_TRUE(Completed().empty());  // the request itself is not completed

  // A removed device is not reset; the queued recovery just ends.
  ext_.device()->Removed = 1;
  host::RunUntilIdle();
  EXPECT_EQ(ext_.device()->ResetCount[0], -1);
}

TEST_F(FrameEngineTest, ATimeOutOutsideTheRunStateOnlyReloadsTheCounter) {
  auto request = Queue();
  channel_->StreamState = KSSTATE_PAUSE;
  request->srb.TimeoutCounter = 1;
  ReadRequestTimeout(&request->srb);
  EXPECT_EQ(request->srb.TimeoutCounter, kVideoReadTimeoutSeconds);
  EXPECT_EQ(host::QueuedWorkItemCount(), 0u);
}

TEST_F(FrameEngineTest, NoMemoryForTheCompletionItemCompletesTheRequestAtOnce) {
  auto request = Queue();
  Walk({Start("a")});
  FailNthAllocation(1);
  Walk({Start("b")});
  ASSERT_EQ(Completed().size(), 1u);
  EXPECT_EQ(request->srb.Status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(request->header.header.DataUsed, 0u);
  EXPECT_TRUE(scripted_.calls.empty());
}

TEST_F(FrameEngineTest, ReadRequestsThatCannotBeServedAreCompletedAtOnce) {
  struct Case {
    const char* what;
    std::function<void()> arrange;
    ULONG bufferSize;
    NTSTATUS expected;
  };
  const Case cases[] = {
      {"stop state", [&] { channel_->StreamState = KSSTATE_STOP; }, 256, STATUS_SUCCESS},
      {"removed device", [&] { ext_.device()->Removed = 1; }, 256, STATUS_CANCELLED},
      {"buffer below the image size", [] {}, 63, STATUS_INSUFFICIENT_RESOURCES},
      {"no raw frame length", [&] { channel_->RawFrameLength = 0; }, 256,
       STATUS_INSUFFICIENT_RESOURCES},
      {"no memory for the raw buffer", [] { FailNthAllocation(1); }, 256,
       STATUS_INSUFFICIENT_RESOURCES},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    channel_->StreamState = KSSTATE_RUN;
    ext_.device()->Removed = 0;
    channel_->RawFrameLength = 256;
    c.arrange();
    auto request = Queue(c.bufferSize);
    FailNthAllocation(0);
    ASSERT_EQ(Completed(), (std::vector<HW_STREAM_REQUEST_BLOCK*>{&request->srb}));
    EXPECT_EQ(request->srb.Status, c.expected);
    EXPECT_EQ(request->header.header.DataUsed, 0u);
  }
  EXPECT_TRUE(IsListEmpty(&channel_->ReadQueue));
}

TEST_F(FrameEngineTest, ATransferWhosePacketsAllFailedIsNeitherWalkedNorResubmitted) {
  Queue();
  _URB_ISOCH_TRANSFER& iso = set_.DataUrb->UrbIsochronousTransfer;
  iso.NumberOfPackets = kPacketsPerTransfer;
  iso.ErrorCount = kPacketsPerTransfer;
  set_.PendingCount = 1;
  EXPECT_EQ(IsoTransferComplete(nullptr, nullptr, &set_), STATUS_MORE_PROCESSING_REQUIRED);
  EXPECT_EQ(channel_->ErrorFlag, 1u);
  EXPECT_EQ(host::ArmedTimerCount(), 0u);
  EXPECT_EQ(channel_->Current, nullptr);
}

TEST_F(FrameEngineTest, AFailedRequestIsStillWalkedButStopsTheNextOne) {
  Queue();
  _URB_ISOCH_TRANSFER& iso = set_.DataUrb->UrbIsochronousTransfer;
  iso.Hdr.Status = USBD_STATUS_ISOCH_REQUEST_FAILED;
  iso.NumberOfPackets = 1;
  iso.ErrorCount = 0;
  iso.IsoPacket[0] = {0, 4, USBD_STATUS_SUCCESS};
  std::memcpy(set_.DataBuffer, Start("a").data(), 4);
  set_.PendingCount = 1;
  IsoTransferComplete(nullptr, nullptr, &set_);
  EXPECT_EQ(channel_->ErrorFlag, 1u);
  EXPECT_NE(channel_->Current, nullptr);   // walked
  EXPECT_EQ(host::ArmedTimerCount(), 1u);  // and resubmitted
  KeCancelTimer(&set_.ResubmitTimer);

  // With the error noted, the next completion stops the cycle.
  set_.PendingCount = 1;
  IsoTransferComplete(nullptr, nullptr, &set_);
  EXPECT_EQ(host::ArmedTimerCount(), 0u);
}

TEST_F(FrameEngineTest, ASnapshotFrameIsAlsoDeliveredToTheStillStream) {
  Channel still{};
  still.Tag = kChannelTag;
  still.Device = ext_.device();
  still.StreamNumber = 1;
  still.Streaming = 1;
  still.Prepared = 1;
  still.StreamState = KSSTATE_RUN;
  still.RawFrameLength = 256;
  InitializeListHead(&still.ReadQueue);
  KeInitializeSpinLock(&still.QueueLock);
  KeInitializeSpinLock(&still.CurrentLock);
  KeInitializeSemaphore(&still.WorkLock, 1, 1);
  InitializeListHead(&still.FinishedFrames);
  HW_STREAM_OBJECT stillStream{};
  stillStream.StreamNumber = 1;
  stillStream.HwStreamExtension = &still;
  ext_.device()->Channel[1] = &still;
  ext_.device()->ControlFlags = kDeviceEvents;
  ext_.device()->EventEnableCount = 1;

  auto video = Queue();
  ReadRequest stillRequest(256, &stillStream);
  ReceiveReadRequest(&stillRequest.srb);
  Walk({Start("pic"), Continue("ture", kPacketSnapshot), Start("")});

  auto done = Completed();
  ASSERT_EQ(done.size(), 2u);
  EXPECT_EQ(video->Text(), "picture");
  EXPECT_EQ(stillRequest.Text(), "picture");
  auto events = host::TakeDeviceEventSignals();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_TRUE(events[0].eventSet == kSnapshotEventSet);
  ext_.device()->Channel[1] = nullptr;
}

// Still frames flow through the video stream's walk: the still stream's
// Current is set and cleared there under the still stream's own lock, the one
// cancel and the watchdog take.
TEST_F(FrameEngineTest, TheWalkHoldsTheStillStreamsOwnLockWhileFillingItsRequest) {
  static Channel still{};
  static int checked;
  still = {};
  checked = 0;
  still.Tag = kChannelTag;
  still.Device = ext_.device();
  still.StreamNumber = 1;
  still.Streaming = 1;
  still.StreamState = KSSTATE_RUN;
  still.RawFrameLength = 256;
  InitializeListHead(&still.ReadQueue);
  KeInitializeSpinLock(&still.QueueLock);
  KeInitializeSpinLock(&still.CurrentLock);
  KeInitializeSemaphore(&still.WorkLock, 1, 1);
  InitializeListHead(&still.FinishedFrames);
  HW_STREAM_OBJECT stillStream{};
  stillStream.StreamNumber = 1;
  stillStream.HwStreamExtension = &still;
  ext_.device()->Channel[1] = &still;
  table_.NewFrame = [](PVOID, PVOID, ULONG stream, ULONG*) {
    if (stream != 1) return;
    EXPECT_NE(still.CurrentLock, 0u) << "still request made current without its lock";
    ++checked;
  };
  InstallCallbackTable(ext_.context(), &table_, kCallbackTableVersion, 0);

  ReadRequest stillRequest(256, &stillStream);
  ReceiveReadRequest(&stillRequest.srb);
  Queue();
  Walk({Start("st", kPacketStillFrame), Continue("ill"), Start("v")});
  EXPECT_EQ(checked, 1);
  EXPECT_EQ(stillRequest.Text(), "still");
  ext_.device()->Channel[1] = nullptr;
}

// A bus whose isochronous requests stay with it until the test answers them
// (an abort does not bring them back); pipe requests succeed at once.
struct HoldingBus {
  DRIVER_OBJECT driver{};
  DEVICE_OBJECT device{};
  std::vector<IRP*> held;
  int isochSent = 0;

  HoldingBus() {
    device.DriverObject = &driver;
    device.DeviceExtension = this;
    device.StackSize = 1;
    driver.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Dispatch;
  }
  static NTSTATUS Dispatch(DEVICE_OBJECT* object, IRP* irp) {
    auto* bus = static_cast<HoldingBus*>(object->DeviceExtension);
    auto* urb = static_cast<URB*>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    if (urb->UrbHeader.Function != URB_FUNCTION_ISOCH_TRANSFER) {
      urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_SUCCESS;
    }
    bus->isochSent += 1;
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, Cancel);
    bus->held.push_back(irp);
    return STATUS_PENDING;
  }
  static void Cancel(DEVICE_OBJECT* object, IRP* irp) {
    auto* bus = static_cast<HoldingBus*>(object->DeviceExtension);
    std::erase(bus->held, irp);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
  // Every held request comes back: 32 empty packets, no error.
  void AnswerAll() {
    std::vector<IRP*> answering;
    answering.swap(held);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    for (IRP* irp : answering) {
      if (IoSetCancelRoutine(irp, nullptr) == nullptr) continue;
      auto* urb = static_cast<URB*>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
      urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    KeLowerIrql(old);
  }
};

// After a stop that gave up waiting with the requests still at the bus, a
// start sends nothing the bus holds; each set goes out again once its
// requests are back.
TEST_F(FrameEngineTest, AStartAfterAStopThatTimedOutSendsNoSetTheBusStillHolds) {
  HoldingBus bus;
  ClassDevice* dev = ext_.device();
  dev->BusDeviceObject = &bus.device;
  channel_->Streaming = 0;
  ASSERT_EQ(AllocateTransferSets(dev, channel_), STATUS_SUCCESS);
  ASSERT_EQ(StartStreaming(dev, channel_), STATUS_SUCCESS);
  EXPECT_EQ(bus.isochSent, 2);
  // No watchdog runs here, as none sees the sets idle while the bus keeps
  // them: the stop waits its 8 s and gives up.
  EXPECT_EQ(StopStreaming(dev, channel_), STATUS_SUCCESS);
  ASSERT_EQ(bus.held.size(), 2u);

  ASSERT_EQ(StartStreaming(dev, channel_), STATUS_SUCCESS);
  EXPECT_EQ(bus.isochSent, 2);
  bus.AnswerAll();
  host::AdvanceTime(host::Milliseconds(3));  // the 2 ms resubmission
  EXPECT_EQ(bus.isochSent, 4);
  EXPECT_EQ(bus.held.size(), 2u);

  EXPECT_EQ(StopStreaming(dev, channel_), STATUS_SUCCESS);
  FreeTransferSets(channel_);  // cancels what the bus still holds
  EXPECT_TRUE(bus.held.empty());
  dev->BusDeviceObject = nullptr;
}

}  // namespace
}  // namespace veltocam::test
