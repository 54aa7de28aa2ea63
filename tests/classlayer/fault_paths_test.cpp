// Fault paths that only a precise moment reaches, each reached on purpose:
// a resubmission already fired when the transfers go, a cancel between the
// walk and the completion, a recovery whose transfers never come back, and
// the port's raised-level entries.
#include "classlayer/stream_rig.h"

namespace veltocam::test {
namespace {

// Runs the test thread's call at DISPATCH_LEVEL, as the port calls its cancel
// and time-out entries.
template <typename Call>
void AtDispatchLevel(Call call) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  call();
  KeLowerIrql(old);
}

// The 2 ms resubmission of a walked set has fired (its DPC is queued, not run)
// when the stream closes: the close must neither free the set under the
// queued DPC nor let it send the set again after the pipes were aborted.
TEST_F(StreamTest, AResubmissionThatFiredJustBeforeTheCloseSendsNothingAndFreesCleanly) {
  Run(video_);
  Read(video_);
  TransferSet& set = video_.channel->Transfers[0];
  ASSERT_TRUE(PumpUntil([&] { return set.PendingCount == 0; }));  // walked, timer armed
  ASSERT_TRUE(host::AdvanceToNextTimer());                        // the 2 ms timer fires
  ASSERT_EQ(host::QueuedDpcCount(), 1u);
  Close(video_);
  EXPECT_EQ(bus_.PendingRequests(), 0u);
  ExpectEveryReadBackOnce();
}

// Between the walk that hands a finished frame to its work item and that
// item's run, the client cancels at DISPATCH_LEVEL: the request being filled
// comes back cancelled at once, the one on its way completes with its picture,
// each exactly once.
TEST_F(StreamTest, ACancelBetweenTheWalkAndTheCompletionAtDispatchLevelCompletesOnce) {
  Run(video_);
  ReadRequest* handed = Read(video_);
  ReadRequest* filling = Read(video_);
  Read(video_);
  ASSERT_TRUE(PumpUntil([&] { return host::QueuedWorkItemCount() != 0; }));
  ASSERT_EQ(video_.channel->Current, static_cast<FrameRequest*>(filling->srb.SRBExtension));
  AtDispatchLevel([&] {
    CancelReadRequest(&handed->srb);  // on its way: found nowhere, left alone
    CancelReadRequest(&filling->srb);
  });
  EXPECT_EQ(Completions(filling), 1);
  EXPECT_EQ(filling->srb.Status, STATUS_CANCELLED);
  EXPECT_EQ(Completions(handed), 0);
  ASSERT_TRUE(PumpUntil([&] { return Completions(handed) != 0; }));
  EXPECT_EQ(handed->srb.Status, STATUS_SUCCESS);
  ASSERT_TRUE(PumpUntil([&] { return Done(STATUS_SUCCESS) == 2; }));  // the third one
  Close(video_);
  ExpectEveryReadBackOnce();
}

// A recovery whose aborted transfers never come back gives up after 8 s
// without restarting capture; once the transfer is back, the watchdog (or the
// next read time-out) recovers the stream.
TEST_F(StreamTest, ARecoveryWhoseTransfersNeverComeBackGivesUpAfterEightSeconds) {
  Run(video_);
  for (int i = 0; i < 3; ++i) Read(video_);
  ASSERT_TRUE(PumpUntil([&] { return Done(STATUS_SUCCESS) == 1; }));
  TransferSet& stuck = video_.channel->Transfers[1];
  InterlockedIncrement(&stuck.PendingCount);  // a transfer the bus never returns
  camera_.ClearCommands();
  const std::uint64_t began = host::Now();
  ASSERT_TRUE(QueueChannelReset(device(), video_.channel, nullptr));
  ASSERT_TRUE(PumpUntil([&] { return device()->ResetCount[0] == -1; }, host::Seconds(20)));
  EXPECT_GE(host::Now() - began, static_cast<std::uint64_t>(host::Seconds(8)));
  EXPECT_EQ(video_.channel->StateFlags & 0x4, 0u);
  for (const sim::CommandRecord& command : camera_.Commands()) {
    EXPECT_NE(command.request, 0x27) << "capture restarted after the recovery gave up";
  }
  InterlockedDecrement(&stuck.PendingCount);
  ASSERT_TRUE(PumpUntil([&] { return Done(STATUS_SUCCESS) == 2; }, host::Seconds(30)));
  Close(video_);
  ExpectEveryReadBackOnce();
}

// The entries the port calls at DISPATCH_LEVEL (reads, their cancel and time-
// out) and the deferring control request block nowhere and touch no paged
// pool there; the host would report either.
TEST_F(StreamTest, EntriesThePortCallsAtDispatchLevelRunThere) {
  Run(video_);
  ReadRequest* first = nullptr;
  ReadRequest* second = nullptr;
  AtDispatchLevel([&] {
    first = Read(video_);
    second = Read(video_);
    ReadRequestTimeout(&first->srb);  // queues one recovery
    CancelReadRequest(&second->srb);
  });
  EXPECT_EQ(second->srb.Status, STATUS_CANCELLED);
  UCHAR status = 0;
  ULONG length = 1;
  NTSTATUS deferred = STATUS_PENDING;
  AtDispatchLevel([&] {
    EXPECT_EQ(
        ::ControlRequest(
            DeviceContextOf(device()), 0x21, 0, 0, &status, &length, 1,
            [](PVOID, PVOID done, NTSTATUS result) { *static_cast<NTSTATUS*>(done) = result; },
            &deferred),
        STATUS_PENDING);
  });
  ASSERT_TRUE(PumpUntil([&] { return deferred != STATUS_PENDING && Completions(first) != 0; },
                        host::Seconds(30)));
  EXPECT_EQ(deferred, STATUS_SUCCESS);
  EXPECT_EQ(first->srb.Status, STATUS_SUCCESS);
  Close(video_);
  ExpectEveryReadBackOnce();
}

}  // namespace
}  // namespace veltocam::test
