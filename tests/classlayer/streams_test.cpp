// Streams through the class layer's entries: open, the states, the stream
// control queue, the stream properties and close, against the simulated
// camera on virtual time.
#include "classlayer/service_interface.h"
#include "classlayer/stream_rig.h"
#include "platform/streamproperties.h"

namespace veltocam::test {
namespace {

TEST_F(StreamTest, RunDeliversPicturesAndStopCancelsTheReadsLeft) {
  Run(video_);
  EXPECT_EQ(video_.channel->Prepared, 1u);
  EXPECT_EQ(video_.object.ReceiveDataPacket, &ReceiveReadRequest);
  EXPECT_EQ(video_.object.StreamHeaderMediaSpecific, sizeof(KS_FRAME_INFO));
  for (int i = 0; i < 4; ++i) Read(video_);
  ASSERT_TRUE(PumpUntil([&] { return Done(STATUS_SUCCESS) == 2; }));
  EXPECT_EQ(reads_[0]->header.header.DataUsed, 320u * 240 * 3 / 2);

  ASSERT_EQ(SetState(video_, KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(video_.channel->Streaming, 0u);
  EXPECT_EQ(bus_.PendingRequests(), 0u);
  EXPECT_EQ(Done(STATUS_CANCELLED), 2);
  ExpectEveryReadBackOnce();
  EXPECT_EQ(Read(video_)->srb.Status, STATUS_SUCCESS);  // stopped: answered at once, empty

  // Running again resets the pipes and delivers to new reads.
  ASSERT_EQ(SetState(video_, KSSTATE_RUN), STATUS_SUCCESS);
  ReadRequest* again = Read(video_);
  ASSERT_TRUE(PumpUntil([&] { return Completions(again) == 1; }));
  EXPECT_EQ(again->srb.Status, STATUS_SUCCESS);
}

TEST_F(StreamTest, StateIsReportedAndOnlyTheFirstPauseAfterStopRebasesTheCounters) {
  ASSERT_EQ(Open(video_, 0), STATUS_SUCCESS);
  auto state = [&](NTSTATUS* status) {
    ControlRequest request(video_, SRB_GET_STREAM_STATE);
    ReceiveControlRequest(&request.srb);
    *status = request.srb.Status;
    EXPECT_EQ(request.srb.ActualBytesTransferred, sizeof(KSSTATE));
    return request.srb.CommandData.StreamState;
  };
  NTSTATUS status;
  EXPECT_EQ(state(&status), KSSTATE_STOP);
  EXPECT_EQ(status, STATUS_SUCCESS);

  video_.channel->FramesCompleted = 5;
  ASSERT_EQ(SetState(video_, KSSTATE_PAUSE), STATUS_SUCCESS);
  EXPECT_EQ(state(&status), KSSTATE_PAUSE);
  EXPECT_EQ(status, STATUS_NO_DATA_DETECTED);
  EXPECT_EQ(video_.channel->FramesCompleted, -1);
  EXPECT_EQ(video_.channel->TakeStartTime, 1);

  ASSERT_EQ(SetState(video_, KSSTATE_RUN), STATUS_SUCCESS);
  video_.channel->FramesCompleted = 7;
  ASSERT_EQ(SetState(video_, KSSTATE_PAUSE), STATUS_SUCCESS);
  ASSERT_EQ(SetState(video_, KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(video_.channel->FramesCompleted, 7);  // pause from run keeps them

  EXPECT_EQ(SetState(video_, 7), STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(state(&status), KSSTATE_RUN);
}

// The device layer's handler sees every request first; while it handles one,
// a second request of the same stream waits and is handled after it.
TEST_F(StreamTest, ControlRequestsOfAStreamAreHandledInArrivalOrder) {
  static StreamTest* self;
  static std::vector<SRB_COMMAND> seen;
  static ControlRequest* nested;
  self = this;
  seen.clear();
  ASSERT_EQ(Open(video_, 0), STATUS_SUCCESS);
  ControlRequest second(video_, SRB_INDICATE_MASTER_CLOCK);
  second.srb.CommandData.MasterClockHandle = reinterpret_cast<HANDLE>(0x1234);
  nested = &second;
  video_.channel->DeviceControlHandler = [](HW_STREAM_REQUEST_BLOCK* srb, BOOLEAN* handled) {
    seen.push_back(srb->Command);
    if (nested != nullptr) {
      ControlRequest* next = std::exchange(nested, nullptr);
      ReceiveControlRequest(&next->srb);
      EXPECT_EQ(self->completions_[&next->srb], 0);  // waits for the first
    }
    *handled = srb->Command == SRB_PROPOSE_DATA_FORMAT;
  };
  ControlRequest first(video_, SRB_GET_STREAM_STATE);
  ReceiveControlRequest(&first.srb);
  EXPECT_EQ(seen, (std::vector<SRB_COMMAND>{SRB_GET_STREAM_STATE, SRB_INDICATE_MASTER_CLOCK}));
  EXPECT_EQ(completions_[&first.srb], 1);
  EXPECT_EQ(completions_[&second.srb], 1);
  EXPECT_EQ(video_.channel->MasterClock, reinterpret_cast<HANDLE>(0x1234));
  EXPECT_EQ(device()->ControlBusy[0], 0u);

  ControlRequest unknown(video_, SRB_BEGIN_FLUSH);
  ReceiveControlRequest(&unknown.srb);
  EXPECT_EQ(unknown.srb.Status, STATUS_NOT_IMPLEMENTED);
  ControlRequest proposal(video_, SRB_PROPOSE_DATA_FORMAT);
  ReceiveControlRequest(&proposal.srb);
  EXPECT_EQ(completions_[&proposal.srb], 0);  // the device layer took it
  video_.channel->DeviceControlHandler = nullptr;
}

TEST_F(StreamTest, StreamPropertiesAnswerFramingAndDroppedFrames) {
  ASSERT_EQ(Open(video_, 0), STATUS_SUCCESS);
  video_.channel->FrameInfo.PictureNumber = 40;
  video_.channel->FrameInfo.DropCount = 3;
  struct Case {
    GUID set;
    ULONG id;
    ULONG outputSize;
    NTSTATUS status;
    ULONG returned;
  };
  const Case cases[] = {
      {KSPROPSETID_Connection, KSPROPERTY_CONNECTION_ALLOCATORFRAMING, 24, STATUS_SUCCESS, 24},
      {PROPSETID_VIDCAP_DROPPEDFRAMES, KSPROPERTY_DROPPEDFRAMES_CURRENT, 48, STATUS_SUCCESS, 48},
      {PROPSETID_VIDCAP_DROPPEDFRAMES, KSPROPERTY_DROPPEDFRAMES_CURRENT, 40,
       STATUS_BUFFER_TOO_SMALL, 0},
      {KSPROPSETID_Connection, 1, 24, STATUS_NOT_IMPLEMENTED, 0},
      {kServiceInterfaceGuid, 0, 48, STATUS_NOT_IMPLEMENTED, 0},
  };
  for (const Case& c : cases) {
    KSPROPERTY id{c.set, c.id, KSPROPERTY_TYPE_GET};
    UCHAR buffer[64] = {};
    STREAM_PROPERTY_DESCRIPTOR descriptor{&id, 0, buffer, sizeof id, c.outputSize};
    ControlRequest request(video_, SRB_GET_STREAM_PROPERTY);
    request.srb.CommandData.PropertyInfo = &descriptor;
    ReceiveControlRequest(&request.srb);
    EXPECT_EQ(request.srb.Status, c.status) << c.id;
    EXPECT_EQ(request.srb.ActualBytesTransferred, c.returned);
  }
  // The two answers, read back from a fresh request each.
  KSALLOCATOR_FRAMING framing{};
  KSPROPERTY connection{KSPROPSETID_Connection, KSPROPERTY_CONNECTION_ALLOCATORFRAMING, 1};
  STREAM_PROPERTY_DESCRIPTOR d1{&connection, 0, &framing, sizeof connection, sizeof framing};
  HW_STREAM_REQUEST_BLOCK srb{};
  srb.CommandData.PropertyInfo = &d1;
  ASSERT_EQ(GetStreamProperty(video_.channel, &srb), STATUS_SUCCESS);
  EXPECT_EQ(framing.RequirementsFlags, 0x80000003u);
  EXPECT_EQ(framing.PoolType, 1u);
  EXPECT_EQ(framing.Frames, 3u);
  EXPECT_EQ(framing.FrameSize, 320u * 240 * 3 / 2);
  KSPROPERTY_DROPPEDFRAMES_CURRENT_S dropped{};
  KSPROPERTY drops{PROPSETID_VIDCAP_DROPPEDFRAMES, KSPROPERTY_DROPPEDFRAMES_CURRENT, 1};
  STREAM_PROPERTY_DESCRIPTOR d2{&drops, 0, &dropped, sizeof drops, sizeof dropped};
  srb.CommandData.PropertyInfo = &d2;
  ASSERT_EQ(GetStreamProperty(video_.channel, &srb), STATUS_SUCCESS);
  EXPECT_EQ(dropped.PictureNumber, 40);
  EXPECT_EQ(dropped.DropCount, 3);
  EXPECT_EQ(dropped.AverageFrameSize, 320u * 240 * 3 / 2);
}

TEST_F(StreamTest, OpenRefusesWhatTheStreamCannotTake) {
  EXPECT_EQ(Open(still_, 1), STATUS_INVALID_PARAMETER);  // this camera's pipes give one stream
  GiveStillStream();
  TestStream other;
  EXPECT_EQ(Open(other, 1), STATUS_INVALID_PARAMETER);  // no video stream to share
  EXPECT_EQ(Open(other, 2), STATUS_INVALID_PARAMETER);
  ASSERT_EQ(Open(video_, 0), STATUS_SUCCESS);
  EXPECT_EQ(Open(other, 0), STATUS_INVALID_PARAMETER);            // a second instance
  EXPECT_EQ(Open(other, 1, 176, 144), STATUS_INVALID_PARAMETER);  // not the video's format

  // A format too short for its own bitmap header is not read past its end.
  other.format = {};
  other.format.DataFormat.FormatSize = sizeof(KSDATAFORMAT) + 48 + 20;
  HW_STREAM_REQUEST_BLOCK srb{};
  srb.HwDeviceExtension = device();
  srb.StreamObject = &other.object;
  other.object.StreamNumber = 1;
  srb.CommandData.OpenFormat = &other.format.DataFormat;
  EXPECT_EQ(OpenStream(&srb), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(device()->Channel[1], nullptr);
  EXPECT_EQ(device()->OpenCount[1], 0u);
}

TEST_F(StreamTest, TheStillStreamOpensBesideARunningVideoStreamAndSharesItsPipe) {
  GiveStillStream();
  Run(video_);
  ASSERT_EQ(Open(still_, 1), STATUS_SUCCESS);
  EXPECT_EQ(still_.channel->Virtual, 1u);
  EXPECT_EQ(still_.channel->DataPipe, video_.channel->DataPipe);
  ASSERT_EQ(SetState(still_, KSSTATE_PAUSE), STATUS_SUCCESS);
  ASSERT_EQ(SetState(still_, KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(still_.channel->Streaming, 1u);
  ReadRequest* stillRead = Read(still_);
  ReadRequest* videoRead = Read(video_);
  ASSERT_TRUE(PumpUntil([&] { return Completions(videoRead) == 1; }));
  EXPECT_EQ(videoRead->srb.Status, STATUS_SUCCESS);

  // Closing the still stream leaves the video stream running.
  Close(still_);
  EXPECT_EQ(Completions(stillRead), 1);
  EXPECT_EQ(stillRead->srb.Status, STATUS_CANCELLED);
  EXPECT_EQ(video_.channel->Streaming, 1u);
  ReadRequest* next = Read(video_);
  ASSERT_TRUE(PumpUntil([&] { return Completions(next) == 1; }));
}

TEST_F(StreamTest, CloseWithReadsPendingCompletesEachOnceAndReleasesEverything) {
  const std::size_t blocks = host::OutstandingBlocks(kClassPoolTag);
  Run(video_);
  for (int i = 0; i < 5; ++i) Read(video_);
  ASSERT_TRUE(PumpUntil([&] { return Done(STATUS_SUCCESS) == 1; }));
  // One read is being filled, others wait; one may be on its way to the client.
  PumpUntil([&] { return video_.channel->Current != nullptr; });
  Close(video_);
  ExpectEveryReadBackOnce();
  EXPECT_EQ(bus_.PendingRequests(), 0u);
  EXPECT_EQ(device()->Channel[0], nullptr);
  EXPECT_EQ(device()->OpenCount[0], 0u);
  EXPECT_EQ(host::ArmedTimerCount(), 0u);
  EXPECT_EQ(host::OutstandingBlocks(kClassPoolTag), blocks);
}

// Recovery and close contend for ChannelLock: the recovery's work item
// parks on its own thread while the close holds the lock and waits, so the
// seeded schedules explore this too.
TEST_F(StreamTest, CloseWaitsForARunningRecovery) {
  Run(video_);
  ReadRequest* read = Read(video_);
  // The recovery cannot get past ChannelLock while the test holds it.
  AcquireChannelLock(device());
  ReadRequestTimeout(&read->srb);  // starts a recovery of stream 0
  ASSERT_EQ(device()->ResetCount[0], 0);
  ReleaseChannelLock(device());
  Close(video_);
  EXPECT_EQ(device()->ResetCount[0], -1);
  ExpectEveryReadBackOnce();
}

TEST_F(StreamTest, UninitialisationRequestedWhileOpenRunsAtTheLastClose) {
  Run(video_);
  device()->DeviceState = kDeviceRemoved;  // uninitialisation came with the stream open
  ASSERT_NE(device()->InterfaceInfo, nullptr);
  Close(video_);
  EXPECT_EQ(device()->InterfaceInfo, nullptr);
  EXPECT_EQ(device()->PipeTable, nullptr);
}

}  // namespace
}  // namespace veltocam::test
