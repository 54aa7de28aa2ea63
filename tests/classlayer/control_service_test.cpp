// The synchronous request path and the vendor control service against the
// simulated camera: data stages in both directions, the 9 s limit on virtual
// time, late answers, removed devices, deferral above passive level, one
// request at a time per device, and the alternate-setting switch.
#include <gtest/gtest.h>

#include "classlayer/device_layer_services.h"
#include "platform/host/platform.h"
#include "platform/host/pool.h"
#include "support/camera_rig.h"
#include "support/usb_test_device.h"

namespace veltocam::test {
namespace {

constexpr UCHAR kStatus = 0x21;
constexpr UCHAR kVersion = 0x20;
constexpr UCHAR kQtable = 0x24;

NTSTATUS Read(CameraRig& rig, UCHAR request, USHORT value, USHORT index, UCHAR* buffer,
              ULONG* length) {
  return ControlRequest(rig.context(), request, value, index, buffer, length, 1, nullptr, nullptr);
}

TEST(ControlRequest, AShortAnswerSetsTheLengthAndCopiesOnlyWhatCame) {
  CameraRig rig;
  UCHAR buffer[16];
  std::memset(buffer, 0xEE, sizeof buffer);
  ULONG length = sizeof buffer;
  EXPECT_EQ(Read(rig, kVersion, 0, 0, buffer, &length), STATUS_SUCCESS);
  EXPECT_EQ(length, 5u);
  EXPECT_EQ(std::vector<UCHAR>(buffer, buffer + 6), (std::vector<UCHAR>{2, 1, 0, 7, 0x31, 0xEE}));
  const auto seen = rig.camera.Commands();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_TRUE(seen[0].in);
  EXPECT_EQ(seen[0].length, 16);
}

TEST(ControlRequest, WithoutALengthTheRequestHasNoDataStage) {
  CameraRig rig;
  ULONG zero = 0;
  UCHAR untouched = 0x5A;
  EXPECT_EQ(
      ControlRequest(rig.context(), 0x00, 0x12, 0x21B0, nullptr, nullptr, 0, nullptr, nullptr),
      STATUS_SUCCESS);
  EXPECT_EQ(Read(rig, 0x00, 0, 0x21B0, &untouched, &zero), STATUS_SUCCESS);
  EXPECT_EQ(zero, 0u);
  EXPECT_EQ(untouched, 0x5A);
  for (const sim::CommandRecord& r : rig.camera.Commands()) {
    EXPECT_EQ(r.length, 0);
    EXPECT_TRUE(r.data.empty());
  }
  EXPECT_EQ(rig.camera.Register(0x21B0), 0x12);
}

TEST(ControlRequest, AnOutgoingBufferIsSentAndNeverWritten) {
  CameraRig rig;
  UCHAR payload[3] = {9, 8, 7};
  ULONG length = 3;
  EXPECT_EQ(ControlRequest(rig.context(), kQtable, 0, 0, payload, &length, 0, nullptr, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(std::vector<UCHAR>(payload, payload + 3), (std::vector<UCHAR>{9, 8, 7}));
  EXPECT_EQ(length, 3u);
  EXPECT_EQ(rig.camera.StoredPayload(sim::CameraCommand::SetQtable), (std::vector<UCHAR>{9, 8, 7}));
  const auto seen = rig.camera.Commands();
  EXPECT_FALSE(seen[0].in);
  EXPECT_EQ(seen[0].value, 0);
}

TEST(ControlRequest, AStalledRequestReportsTheBusStatusAndLeavesTheLength) {
  CameraRig rig;
  rig.camera.WithFirmware([](sim::CameraFirmware& f) { f.faults.stalledRequests = {kStatus}; });
  UCHAR byte = 0x77;
  ULONG length = 1;
  EXPECT_FALSE(NT_SUCCESS(Read(rig, kStatus, 0, 0, &byte, &length)));
  EXPECT_EQ(length, 1u);
  EXPECT_EQ(byte, 0x77);
}

TEST(ControlRequest, ARemovedDeviceGetsNothingSent) {
  CameraRig rig;
  rig.device()->DeviceState = kDeviceRemoved;
  UCHAR byte = 0;
  ULONG length = 1;
  EXPECT_EQ(Read(rig, kStatus, 0, 0, &byte, &length), STATUS_DEVICE_DATA_ERROR);
  EXPECT_TRUE(rig.bus.Requests().empty());
  EXPECT_EQ(KeReadStateSemaphore(&rig.device()->UrbLock), 1);  // released again
}

TEST(ControlRequest, ALengthNoControlTransferCanCarryIsRefused) {
  CameraRig rig;
  UCHAR byte = 0;
  ULONG length = 0xFFFFFFFF;  // would wrap the bounce buffer's size
  EXPECT_EQ(ControlRequest(rig.context(), kQtable, 0, 0, &byte, &length, 0, nullptr, nullptr),
            STATUS_INVALID_PARAMETER);
  length = 0x10000;
  EXPECT_EQ(Read(rig, kVersion, 0, 0, &byte, &length), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(length, 0x10000u);
  EXPECT_TRUE(rig.bus.Requests().empty());
}

TEST(ControlRequest, ReportsEveryFailedAllocationUntilItGetsThrough) {
  CameraRig rig;
  for (std::uint64_t n = 1;; ++n) {
    SCOPED_TRACE(n);
    ASSERT_LT(n, 20u) << "the request never got through";
    UCHAR byte = 0;
    ULONG length = 1;
    const std::uint64_t failedBefore = host::FailedAllocationCount();
    host::FailNthAllocation(n);
    const NTSTATUS status = Read(rig, kStatus, 0, 0, &byte, &length);
    host::FailNthAllocation(0);
    if (host::FailedAllocationCount() == failedBefore) {
      EXPECT_EQ(status, STATUS_SUCCESS);
      break;
    }
    // No memory for the bounce buffer, or for the packet that carries it.
    EXPECT_TRUE(status == STATUS_INSUFFICIENT_RESOURCES || status == STATUS_UNSUCCESSFUL) << status;
    EXPECT_TRUE(rig.bus.Requests().empty());
  }
}

TEST(SubmitUrbSync, ADeviceThatNeverAnswersIsCancelledAfterNineSeconds) {
  CameraRig rig;
  rig.camera.SetNeverAnswer({kStatus});
  UCHAR byte = 0x33;
  ULONG length = 1;
  const std::uint64_t before = host::Now();
  EXPECT_EQ(Read(rig, kStatus, 0, 0, &byte, &length), STATUS_IO_TIMEOUT);
  EXPECT_EQ(host::Now() - before, static_cast<std::uint64_t>(host::Seconds(9)));
  EXPECT_EQ(byte, 0x33);
  EXPECT_EQ(length, 1u);
  EXPECT_EQ(rig.bus.PendingRequests(), 0u);
  // The lock is free for the next request.
  EXPECT_EQ(Read(rig, kVersion, 0, 0, &byte, &length), STATUS_SUCCESS);
  EXPECT_EQ(byte, 2);
}

// An answer due just before the limit: under some schedules its timer is found
// late, between the time-out and the cancel. Either the answer or the cancel
// wins, and the packet is never cancelled after it was finished.
TEST(SubmitUrbSync, AnAnswerRacingTheLimitIsTakenOrCancelledNeverBoth) {
  int answered = 0, timedOut = 0;
  for (std::uint64_t seed = 1; seed <= 48; ++seed) {
    host::SetScheduleSeed(seed);
    host::ResetPlatform();
    CameraRig rig;
    rig.camera.SetAnswerDelay(host::Seconds(9) - host::Milliseconds(1) / 2);
    UCHAR byte = 0;
    ULONG length = 1;
    const NTSTATUS status = Read(rig, kVersion, 0, 0, &byte, &length);
    answered += status == STATUS_SUCCESS ? 1 : 0;
    timedOut += status == STATUS_IO_TIMEOUT ? 1 : 0;
    EXPECT_EQ(rig.bus.PendingRequests(), 0u);
  }
  host::SetScheduleSeed(0);
  EXPECT_EQ(answered + timedOut, 48);
  EXPECT_GT(timedOut, 0);
}

TEST(SubmitUrbSync, AnAnswerArrivingAfterTheLimitTouchesNothingOfTheCaller) {
  CameraRig rig;
  rig.camera.SetAnswerDelay(host::Seconds(10));
  UCHAR buffer[8];
  std::memset(buffer, 0xEE, sizeof buffer);
  ULONG length = sizeof buffer;
  EXPECT_EQ(Read(rig, kVersion, 0, 0, buffer, &length), STATUS_IO_TIMEOUT);
  // Let the answer's time come and go.
  host::AdvanceTime(host::Seconds(5));
  host::RunUntilIdle();
  EXPECT_EQ(std::vector<UCHAR>(buffer, buffer + 8), std::vector<UCHAR>(8, 0xEE));
  EXPECT_EQ(length, 8u);
}

// A second caller on another passive-level thread (a work item, which starts
// on a worker thread of its own while this thread waits for its answer) waits
// for the USB request lock: its request goes out only once the first one's
// answer, 50 ms of virtual time later, has come back.
struct SecondCaller {
  CameraRig* rig;
  NTSTATUS status = STATUS_PENDING;
  UCHAR byte = 0;
  static void Run(PVOID context) {
    auto* caller = static_cast<SecondCaller*>(context);
    ULONG length = 1;
    caller->status = Read(*caller->rig, kStatus, 0, 0, &caller->byte, &length);
  }
};

TEST(SubmitUrbSync, ASecondCallerStartsOnlyAfterTheFirstRequestFinished) {
  CameraRig rig;
  constexpr std::int64_t kDelay = host::Milliseconds(50);
  rig.camera.SetAnswerDelay(kDelay);
  SecondCaller second{&rig};
  WORK_QUEUE_ITEM item;
  ExInitializeWorkItem(&item, SecondCaller::Run, &second);
  ExQueueWorkItem(&item, DelayedWorkQueue);
  UCHAR first = 0;
  ULONG length = 1;
  EXPECT_EQ(Read(rig, kVersion, 0, 0, &first, &length), STATUS_SUCCESS);
  ASSERT_TRUE(host::PumpUntil([&] { return second.status != STATUS_PENDING; }, nullptr));
  EXPECT_EQ(second.status, STATUS_SUCCESS);
  // Under a seeded schedule the work item may be the first caller.
  const auto requests = rig.bus.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_GE(requests[1].time, requests[0].time + static_cast<std::uint64_t>(kDelay));
  EXPECT_LE(requests[1].time, requests[0].time + kDelay + host::kClockTick);
}

struct Completion {
  int calls = 0;
  NTSTATUS status = STATUS_PENDING;
  PVOID context = nullptr;
  KIRQL irql = 0xFF;
};

void RecordCompletion(PVOID deviceContext, PVOID completionContext, NTSTATUS status) {
  auto* c = static_cast<Completion*>(completionContext);
  ++c->calls;
  c->status = status;
  c->context = deviceContext;
  c->irql = KeGetCurrentIrql();
}

TEST(ControlRequest, AboveDispatchLevelItIsDeferredToAWorker) {
  CameraRig rig;
  Completion done;
  UCHAR status[2] = {0xEE, 0xEE};
  ULONG length = 2;
  rig.camera.WithFirmware([](sim::CameraFirmware& f) { f.PressSnapshotButton(); });
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(ControlRequest(rig.context(), 0x04, 0, 1, status, &length, 1, RecordCompletion, &done),
            STATUS_PENDING);
  KeLowerIrql(old);
  EXPECT_TRUE(rig.bus.Requests().empty());
  EXPECT_EQ(done.calls, 0);
  host::RunUntilIdle();
  EXPECT_EQ(done.calls, 1);
  EXPECT_EQ(done.status, STATUS_SUCCESS);
  EXPECT_EQ(done.context, rig.context());
  EXPECT_EQ(done.irql, PASSIVE_LEVEL);
  EXPECT_EQ(status[0], 0x02);
  EXPECT_EQ(length, 2u);
}

TEST(ControlRequest, BelowDispatchLevelTheCompletionRunsBeforeItReturns) {
  CameraRig rig;
  Completion done;
  UCHAR byte = 0;
  ULONG length = 1;
  EXPECT_EQ(
      ControlRequest(rig.context(), kStatus, 0, 0, &byte, &length, 1, RecordCompletion, &done),
      STATUS_SUCCESS);
  EXPECT_EQ(done.calls, 1);
  EXPECT_EQ(done.status, STATUS_SUCCESS);
}

TEST(ControlRequest, ADeferralWithoutMemoryFailsAtOnce) {
  CameraRig rig;
  Completion done;
  UCHAR byte = 0;
  ULONG length = 1;
  host::FailNthAllocation(1);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(
      ControlRequest(rig.context(), kStatus, 0, 0, &byte, &length, 1, RecordCompletion, &done),
      STATUS_INSUFFICIENT_RESOURCES);
  KeLowerIrql(old);
  host::RunUntilIdle();
  EXPECT_EQ(done.calls, 0);
}

TEST(SelectAlternateSetting, SwitchesTheInterfaceAndReportsItsPipes) {
  CameraRig rig;
  ASSERT_EQ(rig.SelectConfiguration(), STATUS_SUCCESS);
  EXPECT_EQ(rig.device()->InterfaceInfo->Pipes[0].MaximumPacketSize, 0);
  alignas(8) UCHAR record[GET_USBD_INTERFACE_SIZE(1)];
  auto* info = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(record);
  RtlCopyMemory(info, rig.device()->InterfaceInfo, sizeof record);
  for (UCHAR alternate : {8, 3, 0}) {
    info->AlternateSetting = alternate;
    ASSERT_EQ(SelectAlternateSetting(rig.context(), info), STATUS_SUCCESS);
    EXPECT_EQ(rig.bus.AlternateSetting(0), alternate);
    EXPECT_EQ(info->Pipes[0].MaximumPacketSize, sim::kCameraPacketSizes[alternate]);
    EXPECT_EQ(rig.device()->InterfaceInfo->Pipes[0].MaximumPacketSize,
              sim::kCameraPacketSizes[alternate]);
  }
  info->AlternateSetting = 9;  // the camera has none
  EXPECT_FALSE(NT_SUCCESS(SelectAlternateSetting(rig.context(), info)));
  EXPECT_EQ(rig.bus.AlternateSetting(0), 0);
}

TEST(PortRequests, AnswerWithinThirtyMillisecondsOrFailAndAbsorbTheLateAnswer) {
  testing::TestDevice device;
  host::UsbBus bus;
  bus.Attach(device);
  DeviceExtension ext;
  ext.device()->DeviceState = kDeviceStarted;
  ext.device()->BusDeviceObject = bus.DeviceObject();

  ULONG port = 0;
  EXPECT_EQ(GetPortStatus(ext.device(), &port), STATUS_SUCCESS);
  EXPECT_EQ(port, USBD_PORT_ENABLED | USBD_PORT_CONNECTED);
  EXPECT_EQ(ResetPort(ext.device()), STATUS_SUCCESS);

  device.portStatusReply = host::UsbReply::Done().After(host::Milliseconds(45));
  device.resetPortReply = host::UsbReply::Done().After(host::Milliseconds(45));
  port = 0xEEEE;
  const std::uint64_t before = host::Now();
  EXPECT_EQ(GetPortStatus(ext.device(), &port), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(host::Now() - before, static_cast<std::uint64_t>(host::Milliseconds(30)));
  EXPECT_EQ(ResetPort(ext.device()), STATUS_UNSUCCESSFUL);
  host::AdvanceTime(host::Milliseconds(100));
  host::RunUntilIdle();
  EXPECT_EQ(port, 0xEEEEu);  // the late answer went to the request's own record
  EXPECT_EQ(bus.PendingRequests(), 0u);

  ext.device()->DeviceState = kDeviceRemoved;
  bus.ClearRequestLog();
  EXPECT_EQ(GetPortStatus(ext.device(), &port), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(ResetPort(ext.device()), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(bus.IoctlCount(IOCTL_INTERNAL_USB_GET_PORT_STATUS), 0u);
}

}  // namespace
}  // namespace veltocam::test
