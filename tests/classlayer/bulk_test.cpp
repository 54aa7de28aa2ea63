// The bulk and interrupt services against a device on the host bus: the
// bounce buffer, chunks cut at the maximum transfer size and ended by a short
// one, interrupt waits that re-arm and signal, cancel, pause and resume
// around an alternate-setting change, reads filled by one transfer each, and
// running out of memory at every allocation.
#include "classlayer/bulk.h"

#include <gtest/gtest.h>

#include "classlayer/device_events.h"
#include "classlayer/recovery.h"
#include "classlayer/streams.h"
#include "classlayer/usbconfig.h"
#include "classlayer/usbrequests.h"
#include "control/buttonpipe.h"
#include "frame_engine_harness.h"
#include "platform/host/usb_bus.h"
#include "support/usb_test_device.h"

namespace veltocam::test {
namespace {

using host::UsbReply;

constexpr ULONG kInterruptPipe = 1;  // 8-byte packets
constexpr ULONG kBulkOutPipe = 2;    // 64-byte packets
constexpr ULONG kBulkInPipe = 3;     // 64-byte packets

Channel* g_channel = nullptr;  // for callbacks that act on the channel

struct Completions {
  std::vector<NTSTATUS> statuses;
  static void Record(PVOID, PVOID context, NTSTATUS status) {
    static_cast<Completions*>(context)->statuses.push_back(status);
  }
};

// The frame engine's channel, now served by the bulk IN pipe of the test
// device, with the pipe table the class layer builds at configuration.
class BulkTest : public FrameEngineTest {
 protected:
  void SetUp() override {
    FrameEngineTest::SetUp();
    bus_.Attach(device_);
    ClassDevice* dev = ext_.device();
    dev->BusDeviceObject = bus_.DeviceObject();
    dev->ControlFlags = kDeviceEvents;
    KeInitializeSpinLock(&dev->PipeTableLock);
    ASSERT_EQ(Select(4096), STATUS_SUCCESS);
    channel_->PipeKind = kPipeKindBulk;
    channel_->DataPipe = kBulkInPipe;
  }
  void TearDown() override {
    // No transfer may come back after the fixture's device is gone.
    ReleaseBulkTransfers(ext_.device());
    host::RunUntilIdle();
    FrameEngineTest::TearDown();
    ClassDevice* dev = ext_.device();
    ExFreePool(info_);
    ExFreePool(dev->PipeTable);
    dev->PipeTable = nullptr;
  }

  // Selects the configuration with every pipe allowing `maxTransfer` bytes.
  NTSTATUS Select(ULONG maxTransfer) {
    ClassDevice* dev = ext_.device();
    if (info_ != nullptr) ExFreePool(info_);
    if (dev->PipeTable != nullptr) ExFreePool(dev->PipeTable);
    auto* config = reinterpret_cast<USB_CONFIGURATION_DESCRIPTOR*>(device_.configuration.data());
    USBD_INTERFACE_LIST_ENTRY list[2] = {};
    list[0].InterfaceDescriptor =
        USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, -1, -1, -1);
    URB* urb = USBD_CreateConfigurationRequestEx(config, list);
    USBD_INTERFACE_INFORMATION* info = list[0].Interface;
    for (ULONG p = 0; p < info->NumberOfPipes; ++p)
      info->Pipes[p].MaximumTransferSize = maxTransfer;
    const NTSTATUS status = SubmitUrbSync(dev, urb);
    dev->ConfigurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
    info_ = static_cast<USBD_INTERFACE_INFORMATION*>(
        ExAllocatePoolWithTag(NonPagedPool, info->Length, PoolTag("Test")));
    RtlCopyMemory(info_, info, info->Length);
    dev->InterfaceInfo = info_;
    dev->NumberOfPipes = info->NumberOfPipes;
    dev->PipeTable = static_cast<PipeEntry*>(ExAllocatePoolWithTag(
        NonPagedPool, dev->NumberOfPipes * sizeof(PipeEntry), PoolTag("Test")));
    for (ULONG p = 0; p < dev->NumberOfPipes; ++p) {
      dev->PipeTable[p] = {static_cast<UCHAR>(info->Pipes[p].PipeType),
                           static_cast<UCHAR>(info->Pipes[p].EndpointAddress >> 7),
                           info->Pipes[p].MaximumPacketSize,
                           0,
                           0,
                           nullptr,
                           nullptr};
    }
    ExFreePool(urb);
    return status;
  }

  // Lengths of the bulk and interrupt transfers the bus saw.
  std::vector<ULONG> TransferLengths() {
    std::vector<ULONG> lengths;
    for (const host::UsbRequestRecord& r : bus_.Requests()) {
      if (r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) lengths.push_back(r.length);
    }
    return lengths;
  }

  PVOID Context() { return ext_.context(); }

  testing::TestDevice device_;  // outlives the bus
  host::UsbBus bus_;
  USBD_INTERFACE_INFORMATION* info_ = nullptr;
  Completions done_;
};

TEST_F(BulkTest, AReadShorterThanAPacketGoesThroughTheBounceBufferAndNeverOverflows) {
  struct Case {
    ULONG sent;      // what the device answers
    ULONG expected;  // what reaches the caller
  };
  for (const Case c : {Case{6, 6}, Case{64, 10}}) {
    device_.onIn = [&](UCHAR, std::span<UCHAR> buffer) {
      for (ULONG i = 0; i < c.sent; ++i) buffer[i] = static_cast<UCHAR>(0xA0 + i);
      return UsbReply::Done(c.sent);
    };
    std::vector<UCHAR> buffer(16, 0xEE);
    bus_.ClearRequestLog();
    done_.statuses.clear();
    EXPECT_EQ(BulkTransfer(Context(), kBulkInPipe, buffer.data(), 10, Completions::Record, &done_),
              STATUS_PENDING);
    host::RunUntilIdle();
    EXPECT_EQ(done_.statuses, std::vector<NTSTATUS>{STATUS_SUCCESS});
    EXPECT_EQ(TransferLengths(), std::vector<ULONG>{64});  // one whole packet
    for (ULONG i = 0; i < 16; ++i) {
      EXPECT_EQ(buffer[i], i < c.expected ? 0xA0 + i : 0xEE) << "sent " << c.sent << " byte " << i;
    }
    EXPECT_FALSE(BulkTransferPending(ext_.device(), kBulkInPipe));
  }
}

TEST_F(BulkTest, ALongTransferIsCutAtTheMaximumTransferSizeAndEndsOnAShortChunk) {
  ASSERT_EQ(Select(128), STATUS_SUCCESS);
  struct Case {
    ULONG length;
    std::vector<ULONG> answers;  // the device's bytes per chunk
    std::vector<ULONG> chunks;   // the chunk lengths sent
  };
  const Case cases[] = {
      {1000, {128, 128, 50}, {128, 128, 128}},  // ended early
      {200, {128, 64, 8}, {128, 64, 64}},       // whole, the tail through the bounce buffer
      {256, {128, 128}, {128, 128}},            // exactly
  };
  for (const Case& c : cases) {
    std::size_t answer = 0;
    device_.onIn = [&](UCHAR, std::span<UCHAR> buffer) {
      const ULONG n = c.answers[answer++];
      for (ULONG i = 0; i < n; ++i) buffer[i] = static_cast<UCHAR>(answer);
      return UsbReply::Done(n);
    };
    std::vector<UCHAR> buffer(c.length, 0);
    bus_.ClearRequestLog();
    done_.statuses.clear();
    EXPECT_EQ(
        BulkTransfer(Context(), kBulkInPipe, buffer.data(), c.length, Completions::Record, &done_),
        STATUS_PENDING);
    host::RunUntilIdle();
    EXPECT_EQ(TransferLengths(), c.chunks) << c.length;
    EXPECT_EQ(done_.statuses, std::vector<NTSTATUS>{STATUS_SUCCESS});
    EXPECT_EQ(buffer[128], 2);
  }
}

TEST_F(BulkTest, AnInterruptWaitReArmsAfterEveryReportAndSignalsTheEventWhileEnabled) {
  int pressed = 0;
  device_.onIn = [&](UCHAR endpoint, std::span<UCHAR> buffer) {
    if (endpoint != testing::kInterruptIn || pressed == 0) return UsbReply::WaitForData();
    --pressed;
    buffer[0] = 1;
    return UsbReply::Done(1);
  };
  UCHAR report[8] = {};
  EXPECT_EQ(InterruptWait(Context(), kInterruptPipe, report, 7, Completions::Record, &done_, 1),
            STATUS_INVALID_PARAMETER);  // shorter than a packet
  ASSERT_EQ(InterruptWait(Context(), kInterruptPipe, report, sizeof report, Completions::Record,
                          &done_, 1),
            STATUS_PENDING);
  EXPECT_EQ(InterruptWait(Context(), kInterruptPipe, report, sizeof report, nullptr, nullptr, 1),
            STATUS_INVALID_PARAMETER);  // busy
  ext_.device()->EventEnableCount = 1;
  for (int press = 1; press <= 3; ++press) {
    if (press == 3) ext_.device()->EventEnableCount = 0;
    ++pressed;
    device_.host->DataReady(testing::kInterruptIn);
    host::RunUntilIdle();
    EXPECT_EQ(done_.statuses.size(), static_cast<std::size_t>(press));
    EXPECT_EQ(report[0], 1);
    EXPECT_TRUE(BulkTransferPending(ext_.device(), kInterruptPipe)) << "re-armed";
  }
  const auto events = host::TakeDeviceEventSignals();
  ASSERT_EQ(events.size(), 2u);  // not once the client disabled the event
  EXPECT_EQ(events[0].eventSet, kSnapshotEventSet);
  // A wait is cancelled only through its pipe: BulkCancel serves bulk pipes.
  EXPECT_EQ(BulkCancel(Context(), kInterruptPipe), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(CancelBulkTransfer(ext_.device(), kInterruptPipe, FALSE), STATUS_SUCCESS);
  EXPECT_EQ(done_.statuses.back(), STATUS_CANCELLED);
  EXPECT_FALSE(BulkTransferPending(ext_.device(), kInterruptPipe));
}

TEST_F(BulkTest, RefusesWhatItCannotServe) {
  UCHAR buffer[64];
  ClassDevice* dev = ext_.device();
  EXPECT_EQ(BulkCancel(Context(), kBulkInPipe), STATUS_SUCCESS);  // nothing pending
  EXPECT_EQ(BulkCancel(Context(), 9), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(BulkTransfer(Context(), 9, buffer, 64, nullptr, nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(BulkTransfer(Context(), 0, buffer, 64, nullptr, nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(BulkTransfer(Context(), kInterruptPipe, buffer, 64, nullptr, nullptr),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(InterruptWait(Context(), kBulkInPipe, buffer, 64, nullptr, nullptr, 0),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(InterruptWait(Context(), kInterruptPipe, nullptr, 64, nullptr, nullptr, 0),
            STATUS_INVALID_PARAMETER);
  // No buffer: the stream on that pipe needs a queued read.
  EXPECT_EQ(BulkTransfer(Context(), kBulkInPipe, nullptr, 0, nullptr, nullptr),
            STATUS_INVALID_PARAMETER);
  // Device state 0: nothing is sent, nothing kept.
  dev->DeviceState = kDeviceRemoved;
  EXPECT_EQ(BulkTransfer(Context(), kBulkOutPipe, buffer, 64, nullptr, nullptr),
            STATUS_DEVICE_DATA_ERROR);
  EXPECT_FALSE(BulkTransferPending(dev, kBulkOutPipe));
  dev->DeviceState = kDeviceStarted;
  dev->Removed = 1;
  EXPECT_EQ(BulkTransfer(Context(), kBulkOutPipe, buffer, 64, nullptr, nullptr),
            STATUS_FILE_CLOSED);
  EXPECT_EQ(InterruptWait(Context(), kInterruptPipe, buffer, 64, nullptr, nullptr, 0),
            STATUS_FILE_CLOSED);
  dev->Removed = 0;
  EXPECT_EQ(TransferLengths(), std::vector<ULONG>{});
}

TEST_F(BulkTest, CancelEndsATransferTheDeviceNeverAnswers) {
  std::vector<UCHAR> buffer(256);
  ASSERT_EQ(BulkTransfer(Context(), kBulkInPipe, buffer.data(), 256, Completions::Record, &done_),
            STATUS_PENDING);
  host::RunUntilIdle();
  EXPECT_TRUE(done_.statuses.empty());
  EXPECT_EQ(BulkCancel(Context(), kBulkInPipe), STATUS_SUCCESS);
  EXPECT_EQ(done_.statuses, std::vector<NTSTATUS>{STATUS_CANCELLED});
  EXPECT_FALSE(BulkTransferPending(ext_.device(), kBulkInPipe));
  EXPECT_EQ(bus_.PendingRequests(), 0u);
  // A device that stalls: the error reaches the completion.
  device_.onIn = [](UCHAR, std::span<UCHAR>) { return UsbReply::Stall(); };
  ASSERT_EQ(BulkTransfer(Context(), kBulkInPipe, buffer.data(), 256, Completions::Record, &done_),
            STATUS_PENDING);
  host::RunUntilIdle();
  EXPECT_EQ(done_.statuses.back(), STATUS_UNSUCCESSFUL);
}

TEST_F(BulkTest, TwoCancellersOfOneTransferEndItOnce) {
  std::vector<UCHAR> data(64);
  // The second canceller is a work item that the first one's wait may let
  // run before the bus gives the transfer back, whichever order is picked.
  for (std::uint64_t seed = 1; seed <= 16; ++seed) {
    SCOPED_TRACE(seed);
    host::SetScheduleSeed(seed);
    done_.statuses.clear();
    ASSERT_EQ(BulkTransfer(Context(), kBulkInPipe, data.data(), 64, Completions::Record, &done_),
              STATUS_PENDING);
    host::RunUntilIdle();
    WORK_QUEUE_ITEM other;
    ExInitializeWorkItem(
        &other, [](PVOID context) { EXPECT_EQ(BulkCancel(context, kBulkInPipe), STATUS_SUCCESS); },
        Context());
    ExQueueWorkItem(&other, DelayedWorkQueue);
    EXPECT_EQ(BulkCancel(Context(), kBulkInPipe), STATUS_SUCCESS);
    host::RunUntilIdle();
    EXPECT_EQ(done_.statuses, std::vector<NTSTATUS>{STATUS_CANCELLED});
    EXPECT_FALSE(BulkTransferPending(ext_.device(), kBulkInPipe));
  }
  host::SetScheduleSeed(0);
}

TEST_F(BulkTest, AnAlternateSettingChangePausesTransfersAndStartsThemAgainOnTheNewPipes) {
  InstallCallbackTable(Context(), &table_, kCallbackTableVersion, kDeviceEvents);
  // The bus may ask the device as soon as a transfer is sent, so the device
  // holds its data back until the restarted transfers are in place.
  bool live = false;
  bool reported = false;
  device_.onIn = [&](UCHAR endpoint, std::span<UCHAR> buffer) {
    if (!live || (endpoint == testing::kInterruptIn && reported)) return UsbReply::WaitForData();
    reported = reported || endpoint == testing::kInterruptIn;
    buffer[0] = 7;
    return UsbReply::Done(1);
  };
  UCHAR report[8] = {};
  std::vector<UCHAR> data(128);
  ASSERT_EQ(InterruptWait(Context(), kInterruptPipe, report, 8, Completions::Record, &done_, 1),
            STATUS_PENDING);
  ASSERT_EQ(BulkTransfer(Context(), kBulkInPipe, data.data(), 128, Completions::Record, &done_),
            STATUS_PENDING);
  host::RunUntilIdle();
  const USBD_PIPE_HANDLE oldInterrupt = info_->Pipes[kInterruptPipe].PipeHandle;

  std::vector<UCHAR> record(info_->Length);
  auto* wanted = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(record.data());
  RtlCopyMemory(wanted, info_, info_->Length);
  wanted->AlternateSetting = 1;
  ASSERT_EQ(SelectAlternateSetting(Context(), wanted), STATUS_SUCCESS);
  EXPECT_TRUE(done_.statuses.empty()) << "a pause is not an end";
  info_ = ext_.device()->InterfaceInfo;
  EXPECT_NE(info_->Pipes[kInterruptPipe].PipeHandle, oldInterrupt);
  EXPECT_TRUE(BulkTransferPending(ext_.device(), kInterruptPipe));
  EXPECT_TRUE(BulkTransferPending(ext_.device(), kBulkInPipe));
  const auto log = bus_.Requests();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[log.size() - 1].length, 128u);  // started over whole

  // The restarted transfers are live on the new pipes.
  live = true;
  device_.host->DataReady(testing::kInterruptIn);
  device_.host->DataReady(testing::kBulkIn);
  host::RunUntilIdle();
  EXPECT_EQ(report[0], 7);
  EXPECT_EQ(data[0], 7);
  EXPECT_EQ(done_.statuses.size(), 2u);
  EXPECT_EQ(CancelBulkTransfer(ext_.device(), kInterruptPipe, FALSE), STATUS_SUCCESS);
}

TEST_F(BulkTest, APausedTransferKeepsItsPipeAndItsOwnerHearsWhenItCannotStartAgain) {
  device_.onOut = [](UCHAR, std::span<const UCHAR>) { return UsbReply::NeverAnswer(); };
  channel_->StreamNumber = 1;  // the stream that writes
  requests_.push_back(std::make_unique<ReadRequest>(64, &stream_));
  ReadRequest* write = requests_.back().get();
  write->srb.Command = SRB_WRITE_DATA;
  write->header.header.DataUsed = 5;
  ReceiveWriteRequest(&write->srb);
  UCHAR report[8] = {};
  ASSERT_EQ(InterruptWait(Context(), kInterruptPipe, report, 8, Completions::Record, &done_, 1),
            STATUS_PENDING);
  host::RunUntilIdle();
  ASSERT_EQ(PauseBulkTransfers(ext_.device()), STATUS_SUCCESS);
  // Paused, a pipe is still busy: nothing else may take it meanwhile.
  EXPECT_EQ(InterruptWait(Context(), kInterruptPipe, report, 8, nullptr, nullptr, 0),
            STATUS_INVALID_PARAMETER);
  std::vector<UCHAR> other(64);
  EXPECT_EQ(BulkTransfer(Context(), kBulkOutPipe, other.data(), 64, nullptr, nullptr),
            STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(Completed().empty());
  EXPECT_TRUE(done_.statuses.empty());
  // The wait starts again (four allocations), the write cannot: its request
  // is completed with the reason.
  host::FailNthAllocation(5);
  ResumeBulkTransfers(ext_.device());
  host::FailNthAllocation(0);
  ASSERT_EQ(Completed().size(), 1u);
  EXPECT_EQ(write->srb.Status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_FALSE(BulkTransferPending(ext_.device(), kBulkOutPipe));
  EXPECT_TRUE(done_.statuses.empty());
  EXPECT_TRUE(BulkTransferPending(ext_.device(), kInterruptPipe)) << "the wait started again";
}

TEST_F(BulkTest, ATransferPausedOnAPipeTheNewSettingLacksEndsAndFreesThePipe) {
  std::vector<UCHAR> data(64);
  ASSERT_EQ(BulkTransfer(Context(), kBulkInPipe, data.data(), 64, Completions::Record, &done_),
            STATUS_PENDING);
  host::RunUntilIdle();
  ClassDevice* dev = ext_.device();
  ASSERT_EQ(PauseBulkTransfers(dev), STATUS_SUCCESS);
  dev->InterfaceInfo->NumberOfPipes = kBulkInPipe;  // the new setting has one pipe fewer
  ResumeBulkTransfers(dev);
  dev->InterfaceInfo->NumberOfPipes = kBulkInPipe + 1;
  EXPECT_EQ(done_.statuses, std::vector<NTSTATUS>{STATUS_INVALID_PARAMETER});
  EXPECT_EQ(dev->PipeTable[kBulkInPipe].SavedTransfer, nullptr);
  // The pipe is free for the next transfer once it is back.
  EXPECT_EQ(BulkTransfer(Context(), kBulkInPipe, data.data(), 64, nullptr, nullptr),
            STATUS_PENDING);
}

TEST_F(BulkTest, AboveDispatchLevelATransferStartsFromAWorkItem) {
  std::vector<UCHAR> payload = {1, 2, 3};
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(BulkTransfer(Context(), kBulkOutPipe, payload.data(), 3, Completions::Record, &done_),
            STATUS_PENDING);
  KeLowerIrql(old);
  EXPECT_TRUE(TransferLengths().empty());
  host::RunUntilIdle();
  EXPECT_EQ(done_.statuses, std::vector<NTSTATUS>{STATUS_SUCCESS});
  EXPECT_EQ(device_.outData.back(), payload);
}

TEST_F(BulkTest, RunsOutOfMemoryCleanlyAtEveryAllocation) {
  std::vector<UCHAR> payload(64, 5);
  // Until the transfer gets through; every failure on the way is reported,
  // by the call or by the completion.
  for (std::uint64_t n = 1;; ++n) {
    SCOPED_TRACE(n);
    ASSERT_LT(n, 100u) << "the transfer never got through";
    done_.statuses.clear();
    const std::uint64_t failedBefore = host::FailedAllocationCount();
    host::FailNthAllocation(n);
    const NTSTATUS status =
        BulkTransfer(Context(), kBulkOutPipe, payload.data(), 64, Completions::Record, &done_);
    host::RunUntilIdle();
    host::FailNthAllocation(0);
    EXPECT_FALSE(BulkTransferPending(ext_.device(), kBulkOutPipe));
    if (host::FailedAllocationCount() == failedBefore) {
      EXPECT_EQ(status, STATUS_PENDING);
      EXPECT_EQ(done_.statuses, std::vector<NTSTATUS>{STATUS_SUCCESS});
      EXPECT_GT(n, 4u);  // record, request block, bounce buffer, I/O request
      break;
    }
    if (status == STATUS_PENDING) {
      ASSERT_EQ(done_.statuses.size(), 1u);
      EXPECT_FALSE(NT_SUCCESS(done_.statuses[0]));
    } else {
      EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
      EXPECT_TRUE(done_.statuses.empty());
    }
  }
  EXPECT_EQ(device_.outData.back(), payload);
}

// ---- Reads of a stream served by the bulk pipe ---------------------------------------

TEST_F(BulkTest, EachReadIsFilledByOneTransferAndTheNextFollowsAtOnce) {
  std::vector<std::string> frames = {"first frame", "second", "third one"};
  std::size_t next = 0;
  device_.onIn = [&](UCHAR, std::span<UCHAR> buffer) {
    const std::string& f = frames[next++ % frames.size()];
    std::memcpy(buffer.data(), f.data(), f.size());
    return UsbReply::Done(static_cast<ULONG>(f.size()));
  };
  ReadRequest* a = Queue();  // its transfer starts as it arrives
  ReadRequest* b = Queue();
  ReadRequest* c = Queue();
  host::RunUntilIdle();
  const auto completed = Completed();
  ASSERT_EQ(completed.size(), 3u);
  EXPECT_EQ(a->Text(), "first frame");
  EXPECT_EQ(b->Text(), "second");
  EXPECT_EQ(c->Text(), "third one");
  EXPECT_EQ(scripted_.newFrames, 3);
  EXPECT_EQ(scripted_.calls[0], "raw 0 11 stream 0");
  EXPECT_EQ(TransferLengths(), (std::vector<ULONG>{256, 256, 256}));
  EXPECT_EQ(channel_->Current, nullptr);
}

TEST_F(BulkTest, AFailedReadCompletesWithTheErrorAndLeavesTheChannelToRecovery) {
  device_.onIn = [](UCHAR, std::span<UCHAR>) { return UsbReply::Stall(); };
  ReadRequest* a = Queue();
  Queue();
  StartBulkRead(ext_.device(), channel_);
  host::RunUntilIdle();
  ASSERT_EQ(Completed().size(), 1u);
  EXPECT_EQ(a->srb.Status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(a->header.header.DataUsed, 0u);
  EXPECT_EQ(channel_->ErrorFlag, 1u);
  EXPECT_FALSE(BulkTransferPending(ext_.device(), kBulkInPipe));  // no next read on a failing pipe
}

// Whichever completion item a schedule runs first, a read whose transfer
// failed comes back after the frame before it.
TEST_F(BulkTest, AFailedReadNeverOvertakesTheFrameBeforeIt) {
  for (std::uint64_t seed = 1; seed <= 32; ++seed) {
    SCOPED_TRACE(seed);
    host::SetScheduleSeed(seed);
    bool answered = false;
    device_.onIn = [&answered](UCHAR, std::span<UCHAR> buffer) {
      if (answered) return UsbReply::Stall();
      answered = true;
      buffer[0] = 'a';
      return UsbReply::Done(1);
    };
    ReadRequest* good = Queue();
    ReadRequest* failed = Queue();
    host::RunUntilIdle();
    const auto done = Completed();
    ASSERT_EQ(done.size(), 2u);
    EXPECT_EQ(done[0], &good->srb);
    EXPECT_EQ(done[1], &failed->srb);
    EXPECT_EQ(failed->srb.Status, STATUS_UNSUCCESSFUL);
    // As the recovery leaves the pipe for the next round.
    ASSERT_EQ(ResetPipe(ext_.device(), info_->Pipes[kBulkInPipe].PipeHandle), STATUS_SUCCESS);
    channel_->ErrorFlag = 0;
  }
  host::SetScheduleSeed(0);
}

// Wherever the platform lets a read's failing transfer land while the next
// read is being started, that read stays queued for the recovery: it is not
// sent to the failing pipe to fail too.
TEST_F(BulkTest, AFailureLandingWhileTheNextReadStartsLeavesThatReadQueued) {
  device_.onIn = [](UCHAR, std::span<UCHAR>) { return UsbReply::Stall(); };
  for (std::uint64_t seed = 1; seed <= 64; ++seed) {
    SCOPED_TRACE(seed);
    host::SetScheduleSeed(seed);
    channel_->ErrorFlag = 0;
    ReadRequest* a = Queue();
    ReadRequest* b = Queue();
    host::RunUntilIdle();
    ASSERT_EQ(Completed(), std::vector<HW_STREAM_REQUEST_BLOCK*>{&a->srb});
    EXPECT_EQ(a->srb.Status, STATUS_UNSUCCESSFUL);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    CancelReadRequest(&b->srb);
    KeLowerIrql(old);
    host::RunUntilIdle();
    ASSERT_EQ(Completed(), std::vector<HW_STREAM_REQUEST_BLOCK*>{&b->srb});
  }
  host::SetScheduleSeed(0);
}

TEST_F(BulkTest, TheCancelEntryLeavesTheReadBeingFilledToItsTransfer) {
  ReadRequest* a = Queue();
  StartBulkRead(ext_.device(), channel_);
  host::RunUntilIdle();
  ASSERT_EQ(channel_->Current, reinterpret_cast<FrameRequest*>(a->extension.data()));
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);  // where the platform cancels
  CancelReadRequest(&a->srb);
  KeLowerIrql(old);
  host::RunUntilIdle();
  const auto completed = Completed();
  ASSERT_EQ(completed.size(), 1u);
  EXPECT_EQ(a->srb.Status, STATUS_CANCELLED);
  EXPECT_EQ(channel_->Current, nullptr);
  EXPECT_FALSE(BulkTransferPending(ext_.device(), kBulkInPipe));
}

TEST_F(BulkTest, CancellingTheReadBeingFilledCancelsItsTransferFirst) {
  ReadRequest* a = Queue();
  ReadRequest* b = Queue();
  StartBulkRead(ext_.device(), channel_);
  host::RunUntilIdle();
  ASSERT_EQ(channel_->Current, reinterpret_cast<FrameRequest*>(a->extension.data()));
  CancelReadRequest(&a->srb);  // the port's cancel entry
  // Another processor may already have taken the transfer back.
  auto completed = Completed();
  EXPECT_TRUE(completed.empty() || !BulkTransferPending(ext_.device(), kBulkInPipe))
      << "not before the transfer is back";
  host::RunUntilIdle();
  for (HW_STREAM_REQUEST_BLOCK* srb : Completed()) completed.push_back(srb);
  ASSERT_EQ(completed.size(), 1u);
  EXPECT_EQ(completed[0], &a->srb);
  EXPECT_EQ(a->srb.Status, STATUS_CANCELLED);
  EXPECT_EQ(channel_->Current, nullptr);
  EXPECT_EQ(scripted_.calls, std::vector<std::string>{"raw 0 0 stream 0"})
      << "the device layer hears of the abandoned frame";
  // A pipe aborted under a read sends it back to wait for a later frame.
  StartBulkRead(ext_.device(), channel_);
  host::RunUntilIdle();
  ASSERT_EQ(channel_->Current, reinterpret_cast<FrameRequest*>(b->extension.data()));
  EXPECT_EQ(AbortPipe(ext_.device(), info_->Pipes[kBulkInPipe].PipeHandle), STATUS_SUCCESS);
  host::RunUntilIdle();
  EXPECT_TRUE(Completed().empty());
  EXPECT_EQ(channel_->Current, nullptr);
  EXPECT_EQ(channel_->ReadQueue.Flink, &reinterpret_cast<FrameRequest*>(b->extension.data())->Link);
}

TEST_F(BulkTest, AReadCancelledAsAChunkComesBackIsNotCarriedOn) {
  ASSERT_EQ(Select(128), STATUS_SUCCESS);
  // The first chunk comes back full; the device never answers a second.
  int asked = 0;
  device_.onIn = [&](UCHAR, std::span<UCHAR>) {
    return asked++ == 0 ? UsbReply::Done(128) : UsbReply::NeverAnswer();
  };
  // The cancel runs on another processor, wherever the schedule puts it.
  for (std::uint64_t seed = 1; seed <= 24; ++seed) {
    SCOPED_TRACE(seed);
    host::SetScheduleSeed(seed);
    asked = 0;
    ReadRequest* a = Queue();
    KDPC cancel;
    KeInitializeDpc(
        &cancel,
        [](KDPC*, PVOID srb, PVOID, PVOID) {
          CancelReadRequest(static_cast<HW_STREAM_REQUEST_BLOCK*>(srb));
        },
        &a->srb);
    KeInsertQueueDpc(&cancel, nullptr, nullptr);
    host::RunUntilIdle();
    ASSERT_EQ(Completed().size(), 1u);
    EXPECT_EQ(a->srb.Status, STATUS_CANCELLED);
    EXPECT_FALSE(BulkTransferPending(ext_.device(), kBulkInPipe));
  }
  host::SetScheduleSeed(0);
}

TEST_F(BulkTest, AGoneOrUninitialisedDeviceTakesNoTransferAndLosesNoRead) {
  UCHAR report[8];
  ClassDevice* dev = ext_.device();
  dev->Removed = 1;
  EXPECT_EQ(BulkTransfer(Context(), kBulkInPipe, report, 8, nullptr, nullptr), STATUS_FILE_CLOSED);
  EXPECT_EQ(InterruptWait(Context(), kInterruptPipe, report, 8, nullptr, nullptr, 1),
            STATUS_FILE_CLOSED);
  dev->Removed = 0;
  dev->DeviceState = kDeviceRemoved;  // device state 0
  EXPECT_EQ(BulkTransfer(Context(), kBulkInPipe, report, 8, Completions::Record, &done_),
            STATUS_DEVICE_DATA_ERROR);
  EXPECT_TRUE(done_.statuses.empty());
  ReadRequest* a = Queue();  // waits: no transfer is tried
  host::RunUntilIdle();
  EXPECT_TRUE(TransferLengths().empty());
  EXPECT_TRUE(Completed().empty());
  EXPECT_EQ(channel_->Current, nullptr);
  EXPECT_EQ(channel_->ReadQueue.Flink, &reinterpret_cast<FrameRequest*>(a->extension.data())->Link);
  dev->DeviceState = kDeviceStarted;
}

TEST_F(BulkTest, AReadRunsOutOfMemoryCleanlyAtEveryAllocation) {
  device_.onIn = [](UCHAR, std::span<UCHAR> buffer) {
    buffer[0] = 'f';
    return UsbReply::Done(1);
  };
  for (int n = 1;; ++n) {
    SCOPED_TRACE(n);
    host::FailNthAllocation(n);
    ReadRequest* r = Queue();  // raw buffer, record, request block, bounce, I/O request, work
    host::RunUntilIdle();
    host::FailNthAllocation(0);
    auto completed = Completed();
    if (completed.empty()) {
      // Not sent: the read waits at the head of its queue for the error to be recovered.
      EXPECT_EQ(channel_->ErrorFlag, 1u);
      EXPECT_EQ(channel_->Current, nullptr);
      channel_->ErrorFlag = 0;
      StartBulkRead(ext_.device(), channel_);
      host::RunUntilIdle();
      completed = Completed();
    }
    ASSERT_EQ(completed.size(), 1u);
    if (r->srb.Status == STATUS_SUCCESS) {
      EXPECT_EQ(r->Text(), "f");
      if (n > 6) break;
      continue;
    }
    EXPECT_EQ(r->srb.Status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(r->header.header.DataUsed, 0u);
  }
}

TEST_F(BulkTest, AReadStartingAsTheChannelStopsIsNotSentAndWaitsUnharmed) {
  // The stop, on another processor, raises its flag and finds the pipe free
  // while the read is being told to the device layer, before it is sent.
  ext_.device()->CallbackTable.Extended.NewFrame = [](PVOID, PVOID, ULONG, ULONG*) {
    SetStateFlags(g_channel, kChannelStopping);
  };
  g_channel = channel_;
  ReadRequest* a = Queue();
  host::RunUntilIdle();
  g_channel = nullptr;
  EXPECT_TRUE(TransferLengths().empty()) << "no transfer outlives the stop";
  EXPECT_FALSE(BulkTransferPending(ext_.device(), kBulkInPipe));
  EXPECT_EQ(channel_->Current, nullptr);
  EXPECT_EQ(channel_->ReadQueue.Flink, &reinterpret_cast<FrameRequest*>(a->extension.data())->Link);
  EXPECT_EQ(channel_->ErrorFlag, 0u) << "a stop is no fault of the pipe";
  ClearStateFlags(channel_, kChannelStopping);
}

TEST_F(BulkTest, AStopCancelsTheReadBeingFilledAndEndsStreaming) {
  StartWatchdog(channel_);
  ReadRequest* a = Queue();
  ReadRequest* b = Queue();
  host::RunUntilIdle();
  ASSERT_TRUE(BulkTransferPending(ext_.device(), kBulkInPipe));
  EXPECT_EQ(StopStreaming(ext_.device(), channel_), STATUS_SUCCESS);
  EXPECT_EQ(channel_->Streaming, 0u);
  EXPECT_FALSE(BulkTransferPending(ext_.device(), kBulkInPipe));
  EXPECT_EQ(Completed().size(), 2u);
  EXPECT_EQ(a->srb.Status, STATUS_CANCELLED);
  EXPECT_EQ(b->srb.Status, STATUS_CANCELLED);
  // Run again: the next read is filled.
  device_.onIn = [](UCHAR, std::span<UCHAR> buffer) {
    buffer[0] = 'g';
    return UsbReply::Done(1);
  };
  EXPECT_EQ(StartStreaming(ext_.device(), channel_), STATUS_SUCCESS);
  ReadRequest* c = Queue();
  host::RunUntilIdle();
  EXPECT_EQ(c->Text(), "g");
  StopWatchdog(channel_);
}
}  // namespace
}  // namespace veltocam::test

namespace veltocam::test {
namespace {

TEST_F(BulkTest, StreamOneWritesGoOutOverTheBulkOutPipe) {
  // `extra`: bytes the header claims beyond the text.
  auto write = [&](const std::string& text, ULONG extra = 0) {
    requests_.push_back(std::make_unique<ReadRequest>(static_cast<ULONG>(text.size()), &stream_));
    ReadRequest* r = requests_.back().get();
    r->srb.Command = SRB_WRITE_DATA;
    std::copy(text.begin(), text.end(), r->data.begin());
    r->header.header.DataUsed = static_cast<ULONG>(text.size()) + extra;
    ReceiveWriteRequest(&r->srb);
    host::RunUntilIdle();
    return r->srb.Status;
  };
  EXPECT_EQ(write("hello"), STATUS_NOT_IMPLEMENTED);  // stream 0 does not write
  channel_->StreamNumber = 1;
  EXPECT_EQ(write("hello"), STATUS_SUCCESS);
  EXPECT_EQ(device_.outData.back(), (std::vector<UCHAR>{'h', 'e', 'l', 'l', 'o'}));
  EXPECT_EQ(write(""), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(write("tail", 1), STATUS_INVALID_PARAMETER);  // past the client's buffer
  device_.onOut = [](UCHAR, std::span<const UCHAR>) { return UsbReply::Stall(); };
  EXPECT_EQ(write("again"), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Completed().size(), 5u);
  EXPECT_EQ(scripted_.newFrames, 2);
}

TEST_F(BulkTest, AWriteTheDeviceDoesNotTakeCanBeCancelled) {
  device_.onOut = [](UCHAR, std::span<const UCHAR>) { return UsbReply::NeverAnswer(); };
  channel_->StreamNumber = 1;
  for (const bool paused : {false, true}) {
    SCOPED_TRACE(paused);
    requests_.push_back(std::make_unique<ReadRequest>(64, &stream_));
    ReadRequest* w = requests_.back().get();
    w->srb.Command = SRB_WRITE_DATA;
    w->header.header.DataUsed = 5;
    ReceiveWriteRequest(&w->srb);
    host::RunUntilIdle();
    if (paused) {
      ASSERT_EQ(PauseBulkTransfers(ext_.device()), STATUS_SUCCESS);
    }
    bus_.ClearRequestLog();
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);  // where the platform cancels
    CancelReadRequest(&w->srb);
    KeLowerIrql(old);
    if (paused) ResumeBulkTransfers(ext_.device());
    host::RunUntilIdle();
    ASSERT_EQ(Completed().size(), 1u);
    EXPECT_EQ(w->srb.Status, STATUS_CANCELLED);
    EXPECT_FALSE(BulkTransferPending(ext_.device(), kBulkOutPipe));
    EXPECT_TRUE(TransferLengths().empty()) << "a cancelled write is not sent again";
  }
}

TEST_F(BulkTest, ReleasingTheConfigurationEndsEveryTransfer) {
  UCHAR report[8];
  std::vector<UCHAR> data(64);
  ASSERT_EQ(InterruptWait(Context(), kInterruptPipe, report, 8, Completions::Record, &done_, 1),
            STATUS_PENDING);
  ASSERT_EQ(BulkTransfer(Context(), kBulkInPipe, data.data(), 64, Completions::Record, &done_),
            STATUS_PENDING);
  ReleaseBulkTransfers(ext_.device());
  EXPECT_EQ(done_.statuses, (std::vector<NTSTATUS>{STATUS_CANCELLED, STATUS_CANCELLED}));
  EXPECT_EQ(bus_.PendingRequests(), 0u);
}

}  // namespace
}  // namespace veltocam::test

namespace veltocam::test {
namespace {

TEST_F(BulkTest, TheDeviceLayerWatchesAnInterruptButtonPipeForGood) {
  ServiceInterface services{};
  EXPECT_EQ(WatchSnapshotButton(Context(), &services), STATUS_NOT_SUPPORTED);
  services.Version = kServiceInterfaceVersion;
  services.InterruptWait = InterruptWait;
  EXPECT_EQ(WatchSnapshotButton(Context(), &services), STATUS_NO_MATCH);  // no interface yet
  ext_.context()->Interface = info_;
  ASSERT_EQ(WatchSnapshotButton(Context(), &services), STATUS_PENDING);
  ext_.device()->EventEnableCount = 1;
  int presses = 2;
  device_.onIn = [&](UCHAR, std::span<UCHAR> buffer) {
    if (presses == 0) return UsbReply::WaitForData();
    --presses;
    buffer[0] = 1;
    return UsbReply::Done(1);
  };
  device_.host->DataReady(testing::kInterruptIn);
  host::RunUntilIdle();
  EXPECT_EQ(host::TakeDeviceEventSignals().size(), 2u);
  ext_.context()->Interface = nullptr;
  ReleaseBulkTransfers(ext_.device());
}

}  // namespace
}  // namespace veltocam::test
