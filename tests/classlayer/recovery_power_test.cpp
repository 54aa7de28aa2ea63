// Pipe control, power transitions and removal on a running video stream, and
// the watchdog's and resubmission's races with stopping.
#include <atomic>
#include <condition_variable>
#include <thread>

#include "classlayer/stream_rig.h"
#include "platform/host/contract_violations.h"

namespace veltocam::test {
namespace {

TEST_F(StreamTest, PipeControlStopKeepsTheReadsAndRestartDeliversToThem) {
  Run(video_);
  PVOID context = DeviceContextOf(device());
  for (int i = 0; i < 6; ++i) Read(video_);
  ASSERT_TRUE(PumpUntil([&] { return Done(STATUS_SUCCESS) == 1; }));
  const int delivered = Done(STATUS_SUCCESS);

  ASSERT_EQ(IsoPipeControl(context, 1), STATUS_SUCCESS);
  EXPECT_EQ(video_.channel->Streaming, 0u);
  EXPECT_EQ(IsoPipeControl(context, 1), STATUS_INVALID_PARAMETER);  // already stopped
  host::AdvanceTime(host::Seconds(1));
  EXPECT_EQ(Done(STATUS_SUCCESS), delivered);
  EXPECT_EQ(Done(STATUS_CANCELLED), 0);

  ASSERT_EQ(IsoPipeControl(context, 0), STATUS_SUCCESS);
  EXPECT_EQ(IsoPipeControl(context, 0), STATUS_INVALID_PARAMETER);  // already running
  ASSERT_TRUE(PumpUntil([&] { return Done(STATUS_SUCCESS) == 4; }));
  EXPECT_EQ(Done(STATUS_CANCELLED), 0);

  // Above APC level the change is left to a work item.
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(IsoPipeControl(context, 1), STATUS_PENDING);
  KeLowerIrql(old);
  EXPECT_EQ(video_.channel->StoppedByClient, 0u);
  ASSERT_TRUE(PumpUntil([&] { return video_.channel->Streaming == 0; }));
  EXPECT_EQ(video_.channel->StoppedByClient, 1u);
}

// While the device layer holds the stream stopped, the client's stop and run
// still count: the stop gives the reads back, the run waits for the restart,
// which then sends each transfer once.
TEST_F(StreamTest, AClientsStopAndRunWhileThePipeIsHeldWaitForTheRestart) {
  Run(video_);
  PVOID context = DeviceContextOf(device());
  for (int i = 0; i < 3; ++i) Read(video_);
  ASSERT_TRUE(PumpUntil([&] { return Done(STATUS_SUCCESS) == 1; }));
  ASSERT_EQ(IsoPipeControl(context, 1), STATUS_SUCCESS);

  ASSERT_EQ(SetState(video_, KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(Done(STATUS_CANCELLED), 2);  // a stop gives back every read it finds
  ASSERT_EQ(SetState(video_, KSSTATE_PAUSE), STATUS_SUCCESS);
  ASSERT_EQ(SetState(video_, KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(video_.channel->Streaming, 0u);  // the camera is still held stopped
  EXPECT_EQ(bus_.PendingRequests(), 0u);
  ReadRequest* read = Read(video_);

  ASSERT_EQ(IsoPipeControl(context, 0), STATUS_SUCCESS);
  EXPECT_EQ(video_.channel->Streaming, 1u);
  ASSERT_TRUE(PumpUntil([&] { return Completions(read) == 1; }));
  EXPECT_EQ(read->srb.Status, STATUS_SUCCESS);
  EXPECT_EQ(host::ContractViolationCount(), 0u);
  ExpectEveryReadBackOnce();
}

TEST_F(StreamTest, PowerDownAndUpStopsSavesRestoresAndResumes) {
  Run(video_);
  auto power = [&](ULONG state) {
    HW_STREAM_REQUEST_BLOCK srb{};
    srb.Command = SRB_CHANGE_POWER_STATE;
    srb.HwDeviceExtension = device();
    srb.CommandData.DeviceState = state;
    return ChangePowerState(&srb);
  };
  for (int i = 0; i < 4; ++i) Read(video_);
  ASSERT_TRUE(PumpUntil([&] { return Done(STATUS_SUCCESS) == 1; }));

  ASSERT_EQ(power(4), STATUS_SUCCESS);
  EXPECT_EQ(device()->PowerState, 4u);
  EXPECT_EQ(video_.channel->Streaming, 0u);
  EXPECT_EQ(bus_.PendingRequests(), 0u);
  EXPECT_EQ(power(4), STATUS_SUCCESS);
  EXPECT_EQ(power(9), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(device()->PowerState, 4u);

  ASSERT_EQ(power(1), STATUS_SUCCESS);
  EXPECT_EQ(device()->PowerState, 1u);
  EXPECT_EQ(video_.channel->Streaming, 1u);
  EXPECT_NE(bus_.AlternateSetting(0), 0);  // the camera restored and streaming
  ASSERT_TRUE(PumpUntil([&] { return Done(STATUS_SUCCESS) == 4; }));
  EXPECT_EQ(Done(STATUS_CANCELLED), 0);

  // Through D2 nothing is stopped or restarted.
  ASSERT_EQ(power(2), STATUS_SUCCESS);
  ASSERT_EQ(power(4), STATUS_SUCCESS);
  EXPECT_EQ(video_.channel->Streaming, 1u);
  ASSERT_EQ(power(1), STATUS_SUCCESS);
}

TEST_F(StreamTest, RemovalMidStreamCancelsEveryReadExactlyOnce) {
  Run(video_);
  for (int i = 0; i < 5; ++i) Read(video_);
  ASSERT_TRUE(PumpUntil([&] { return Done(STATUS_SUCCESS) == 1; }));
  // Surprise removal: the device is marked and the stream stopped.
  device()->Removed = 1;
  ASSERT_EQ(StopStreaming(device(), video_.channel), STATUS_SUCCESS);
  EXPECT_EQ(Done(STATUS_CANCELLED), 4);
  EXPECT_EQ(Read(video_)->srb.Status, STATUS_CANCELLED);
  ExpectEveryReadBackOnce();
}

TEST_F(StreamTest, AnUnpluggedCameraIsFoundByRecoveryAndItsReadsAreCancelled) {
  Run(video_);
  for (int i = 0; i < 5; ++i) Read(video_);
  ASSERT_TRUE(PumpUntil([&] { return Done(STATUS_SUCCESS) == 1; }));
  bus_.Detach();
  ASSERT_TRUE(PumpUntil([&] { return Done(STATUS_CANCELLED) == 4; }));
  EXPECT_EQ(device()->Removed, 1u);
  ExpectEveryReadBackOnce();
}

// A set walked just before a stop has its 2 ms resubmission armed; the stop
// must disarm it, or it sends the set again while stopping and once more at
// the next start (a request the bus still holds).
TEST_F(StreamTest, AStopRightAfterAWalkSendsNothingUntilTheNextStart) {
  Run(video_);
  Read(video_);
  TransferSet& set = video_.channel->Transfers[0];
  ASSERT_TRUE(PumpUntil([&] { return set.PendingCount == 0; }));  // walked, timer armed
  bus_.ClearRequestLog();
  ASSERT_EQ(StopStreaming(device(), video_.channel), STATUS_SUCCESS);
  host::AdvanceTime(host::Milliseconds(10));
  EXPECT_EQ(bus_.RequestCount(URB_FUNCTION_ISOCH_TRANSFER), 0u);
  ASSERT_EQ(StartStreaming(device(), video_.channel), STATUS_SUCCESS);
  host::AdvanceTime(host::Milliseconds(10));
  EXPECT_EQ(host::ContractViolationCount(), 0u);
}

// A recovery of a stream with no transfer out waits for none; one that a
// read's time-out starts while the stream closes comes after the close has
// stopped the watchdog: it finds nothing to recover, and neither touches the
// pipes nor waits 8 s for a watchdog that is gone.
TEST_F(StreamTest, ARecoveryQueuedDuringCloseLeavesTheClosedStreamAlone) {
  ASSERT_EQ(Open(video_, 0), STATUS_SUCCESS);
  ASSERT_EQ(SetState(video_, KSSTATE_PAUSE), STATUS_SUCCESS);
  video_.channel->StreamState = KSSTATE_RUN;  // as a run whose pipe reset failed leaves it
  for (int i = 0; i < 3; ++i) Read(video_);
  ReadRequest* late = reads_.back().get();
  // With no transfer out, a recovery has nothing to wait for.
  std::uint64_t before = host::Now();
  ReadRequestTimeout(&reads_[0]->srb);
  ASSERT_TRUE(PumpUntil([&] { return device()->ResetCount[0] == -1; }));
  EXPECT_LT(host::Now() - before, static_cast<std::uint64_t>(host::Seconds(1)));
  // Close cancels the waiting reads; the port's time-out of the last one
  // fires meanwhile.
  host::SetRequestCompletionHandler([&](HW_STREAM_REQUEST_BLOCK* srb) {
    completions_[srb] += 1;
    if (srb != &late->srb && completions_[&late->srb] == 0) ReadRequestTimeout(&late->srb);
  });
  bus_.ClearRequestLog();
  before = host::Now();
  Close(video_);
  EXPECT_EQ(bus_.RequestCount(URB_FUNCTION_ABORT_PIPE), 0u);
  EXPECT_LT(host::Now() - before, static_cast<std::uint64_t>(host::Seconds(1)));
  EXPECT_EQ(device()->ResetCount[0], -1);
  ExpectEveryReadBackOnce();
}

TEST(StateFlagsTest, ChangesFromTwoThreadsLoseNoBit) {
  Channel channel{};
  std::atomic<int> lost{0};
  auto toggle = [&](ULONG bit) {
    for (int i = 0; i < 200000; ++i) {
      SetStateFlags(&channel, bit);
      if (!HasStateFlags(&channel, bit)) ++lost;
      if (!ClearStateFlags(&channel, bit)) ++lost;
    }
  };
  std::thread passive(toggle, kChannelStopping);
  std::thread dpc(toggle, kChannelAwaitingIdle);
  passive.join();
  dpc.join();
  EXPECT_EQ(lost, 0);
  EXPECT_EQ(channel.StateFlags, 0u);
}

// The watchdog's tick runs on the dispatcher thread; stopping the watchdog
// meanwhile must wait for it and leave no timer armed behind it.
TEST_F(StreamTest, StoppingTheWatchdogWaitsForATickInProgress) {
  host::ResetKernel(host::SchedulerMode::RealTime);
  ASSERT_EQ(Open(video_, 0), STATUS_SUCCESS);
  ASSERT_EQ(SetState(video_, KSSTATE_PAUSE), STATUS_SUCCESS);
  ReadRequest* read = Read(video_);
  std::mutex m;
  std::condition_variable cv;
  bool inTick = false, release = false;
  std::atomic<bool> stopped{false}, tickDone{false};
  // The tick cancels the read from inside the DPC, and stays there until released.
  host::SetRequestCompletionHandler([&](HW_STREAM_REQUEST_BLOCK* srb) {
    if (srb != &read->srb) return;
    std::unique_lock lock(m);
    inTick = true;
    cv.notify_all();
    cv.wait(lock, [&] { return release; });
  });
  video_.channel->Streaming = 1;  // as if running, with every transfer back
  device()->Removed = 1;
  KeInsertQueueDpc(&video_.channel->WatchdogDpc, nullptr, nullptr);
  {
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return inTick; });
  }
  std::thread stopper([&] {
    StopWatchdog(video_.channel);
    stopped = true;
    EXPECT_TRUE(tickDone) << "returned while the tick was still running";
  });
  for (int i = 0; i < 100000 && !stopped; ++i) std::this_thread::yield();
  tickDone = true;
  {
    std::lock_guard lock(m);
    release = true;
  }
  cv.notify_all();
  stopper.join();
  EXPECT_FALSE(KeCancelTimer(&video_.channel->WatchdogTimer));  // nothing left armed
  video_.channel->Streaming = 0;
  device()->Removed = 0;
}

// A pipe-control change left to a work item is counted until it has run (the
// device's release waits for it); it and a power change find the video
// stream under the channel lock, so after the close they find none and send
// nothing.
TEST_F(StreamTest, PipeControlAndPowerAfterCloseLeaveTheClosedStreamAlone) {
  Run(video_);
  PVOID context = DeviceContextOf(device());
  ASSERT_EQ(IsoPipeControl(context, 1), STATUS_SUCCESS);  // held stopped, still in run state
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(IsoPipeControl(context, 0), STATUS_PENDING);
  KeLowerIrql(old);
  EXPECT_EQ(device()->PipeControlsInFlight, 1);
  ASSERT_TRUE(PumpUntil([&] { return device()->PipeControlsInFlight == 0; }));
  EXPECT_EQ(video_.channel->Streaming, 1u);

  HW_STREAM_REQUEST_BLOCK srb{};
  srb.HwDeviceExtension = device();
  srb.CommandData.DeviceState = PowerDeviceD3;
  ASSERT_EQ(ChangePowerState(&srb), STATUS_SUCCESS);
  Close(video_);
  EXPECT_EQ(device()->Channel[0], nullptr);
  bus_.ClearRequestLog();
  srb.CommandData.DeviceState = PowerDeviceD0;
  EXPECT_EQ(ChangePowerState(&srb), STATUS_SUCCESS);
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(IsoPipeControl(context, 1), STATUS_SUCCESS);  // no stream: nothing to do
  KeLowerIrql(old);
  EXPECT_EQ(device()->PipeControlsInFlight, 0);
  host::AdvanceTime(host::Seconds(1));
  EXPECT_EQ(bus_.RequestCount(URB_FUNCTION_ISOCH_TRANSFER), 0u);
  EXPECT_EQ(bus_.PendingRequests(), 0u);
}

}  // namespace
}  // namespace veltocam::test
