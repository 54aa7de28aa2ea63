// The I/O manager: stack locations, completion routines, packets the I/O
// manager owns, cancellation and the misuse the platform would bug-check.
#include "platform/host/io_manager.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/host/pool.h"
#include "platform/host/scheduler.h"
#include "platform/io.h"

namespace veltocam::testing {
namespace {

std::vector<std::string> g_trace;

// A driver at the bottom of a stack: completes, pends, or pends cancellably.
enum class LowerMode { Complete, Pend, PendCancellable };
LowerMode g_lowerMode = LowerMode::Complete;
IRP* g_pended = nullptr;

void LowerCancel(DEVICE_OBJECT*, IRP* irp) {
  g_trace.push_back("cancel at " + std::to_string(KeGetCurrentIrql()) +
                    (irp->Cancel ? " cancelled" : ""));
  IoReleaseCancelSpinLock(irp->CancelIrql);
  g_pended = nullptr;
  irp->IoStatus.Status = STATUS_CANCELLED;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS LowerDispatch(DEVICE_OBJECT*, IRP* irp) {
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  g_trace.push_back("lower major " + std::to_string(stack->MajorFunction));
  if (g_lowerMode != LowerMode::Complete) {
    IoMarkIrpPending(irp);
    if (g_lowerMode == LowerMode::PendCancellable) IoSetCancelRoutine(irp, &LowerCancel);
    g_pended = irp;
    return STATUS_PENDING;
  }
  if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
    // Buffered: the answer goes back through the system buffer.
    auto* system = static_cast<char*>(irp->AssociatedSystemBuffer);
    system[0] = static_cast<char>(system[0] + 1);
    irp->IoStatus.Information = 1;
  }
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

void CompletePended(NTSTATUS status) {
  IRP* irp = g_pended;
  g_pended = nullptr;
  if (IoSetCancelRoutine(irp, nullptr) == nullptr && g_lowerMode == LowerMode::PendCancellable) {
    return;
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// A filter in the middle: forwards with or without a completion routine.
bool g_filterRoutine = true;
bool g_filterKeeps = false;
UCHAR g_filterFlags = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL;
DEVICE_OBJECT* g_lowerDevice = nullptr;

NTSTATUS FilterCompletion(DEVICE_OBJECT* device, IRP* irp, PVOID context) {
  g_trace.push_back(std::string("filter routine ") + static_cast<const char*>(context) +
                    (device == g_lowerDevice ? " wrong device" : "") +
                    (irp->PendingReturned ? " pending" : ""));
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return g_filterKeeps ? STATUS_MORE_PROCESSING_REQUIRED : STATUS_SUCCESS;
}

NTSTATUS FilterDispatch(DEVICE_OBJECT*, IRP* irp) {
  IoCopyCurrentIrpStackLocationToNext(irp);
  if (g_filterRoutine) {
    IoSetCompletionRoutine(irp, &FilterCompletion, const_cast<char*>("ran"),
                           (g_filterFlags & SL_INVOKE_ON_SUCCESS) != 0,
                           (g_filterFlags & SL_INVOKE_ON_ERROR) != 0,
                           (g_filterFlags & SL_INVOKE_ON_CANCEL) != 0);
  }
  return IoCallDriver(g_lowerDevice, irp);
}

NTSTATUS OwnerCompletion(DEVICE_OBJECT* device, IRP* irp, PVOID) {
  g_trace.push_back(std::string("owner routine") + (device == nullptr ? "" : " with device") +
                    (irp->PendingReturned ? " pending" : "") + (irp->Cancel ? " cancelled" : ""));
  return STATUS_MORE_PROCESSING_REQUIRED;
}

class IoManagerTest : public ::testing::Test {
 protected:
  IoManagerTest() {
    g_trace.clear();
    g_lowerMode = LowerMode::Complete;
    g_pended = nullptr;
    g_filterRoutine = true;
    g_filterKeeps = false;
    g_filterFlags = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL;
    for (auto& f : lowerDriver.MajorFunction) f = &LowerDispatch;
    filterDriver.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = &FilterDispatch;
    lower.DriverObject = &lowerDriver;
    lower.StackSize = 1;
    filter.DriverObject = &filterDriver;
    filter.StackSize = 2;
    g_lowerDevice = &lower;
  }

  // An owner's packet through filter and lower driver.
  IRP* SendThroughFilter(NTSTATUS* returned) {
    IRP* irp = IoAllocateIrp(filter.StackSize, FALSE);
    IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, &OwnerCompletion, nullptr, TRUE, TRUE, TRUE);
    *returned = IoCallDriver(&filter, irp);
    return irp;
  }

  DRIVER_OBJECT lowerDriver{}, filterDriver{};
  DEVICE_OBJECT lower{}, filter{};
};

TEST_F(IoManagerTest, CompletionRoutinesRunUpwardsEachWithTheDeviceOfItsLevel) {
  NTSTATUS returned;
  IRP* irp = SendThroughFilter(&returned);
  EXPECT_EQ(returned, STATUS_SUCCESS);
  EXPECT_EQ(g_trace,
            (std::vector<std::string>{"lower major 15", "filter routine ran", "owner routine"}));
  EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);
  EXPECT_EQ(veltocam::host::IrpsAtDrivers(), 0u);
  IoFreeIrp(irp);
}

TEST_F(IoManagerTest, InvokeFlagsChooseWhichRoutinesRun) {
  g_filterFlags = SL_INVOKE_ON_ERROR;
  NTSTATUS returned;
  IoFreeIrp(SendThroughFilter(&returned));
  EXPECT_EQ(g_trace.back(), "owner routine");
  EXPECT_EQ(g_trace.size(), 2u);  // the filter's routine skipped on success

  g_trace.clear();
  g_filterFlags = SL_INVOKE_ON_CANCEL;
  g_lowerMode = LowerMode::PendCancellable;
  IRP* irp = SendThroughFilter(&returned);
  EXPECT_EQ(returned, STATUS_PENDING);
  EXPECT_TRUE(IoCancelIrp(irp));
  EXPECT_EQ(g_trace, (std::vector<std::string>{"lower major 15", "cancel at 2 cancelled",
                                               "filter routine ran pending",
                                               "owner routine pending cancelled"}));
  EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
  EXPECT_FALSE(IoCancelIrp(irp));  // back with its owner: nothing to cancel
  IoFreeIrp(irp);
}

TEST_F(IoManagerTest, APendingLowerLevelIsReportedUpwardsWithoutRoutinesInBetween) {
  g_filterRoutine = false;
  g_lowerMode = LowerMode::Pend;
  NTSTATUS returned;
  IRP* irp = SendThroughFilter(&returned);
  EXPECT_EQ(returned, STATUS_PENDING);
  EXPECT_EQ(veltocam::host::IrpsAtDrivers(), 1u);
  CompletePended(STATUS_UNSUCCESSFUL);
  EXPECT_EQ(g_trace.back(), "owner routine pending");
  EXPECT_EQ(irp->IoStatus.Status, STATUS_UNSUCCESSFUL);
  IoFreeIrp(irp);
}

TEST_F(IoManagerTest, AFilterThatKeepsThePacketCompletesItAgainLater) {
  g_filterKeeps = true;
  NTSTATUS returned;
  IRP* irp = SendThroughFilter(&returned);
  EXPECT_EQ(g_trace.back(), "filter routine ran");
  EXPECT_EQ(veltocam::host::IrpsAtDrivers(), 1u);  // still the filter's
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  EXPECT_EQ(g_trace.back(), "owner routine");
  EXPECT_EQ(veltocam::host::IrpsAtDrivers(), 0u);
  IoFreeIrp(irp);
}

TEST_F(IoManagerTest, AnOwnerCanUseAStackLocationOfItsOwnAndReuseThePacket) {
  DEVICE_OBJECT me{};
  IRP* irp = IoAllocateIrp(static_cast<CHAR>(lower.StackSize + 1), FALSE);
  IoSetNextIrpStackLocation(irp);
  IoGetCurrentIrpStackLocation(irp)->DeviceObject = &me;
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_PNP;
  IoSetCompletionRoutine(irp, &OwnerCompletion, nullptr, TRUE, TRUE, TRUE);
  EXPECT_EQ(IoCallDriver(&lower, irp), STATUS_SUCCESS);
  EXPECT_EQ(g_trace.back(), "owner routine with device");

  IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);
  EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
  EXPECT_FALSE(irp->Cancel);
  IoFreeIrp(irp);
  EXPECT_EQ(veltocam::host::OutstandingBlocks(veltocam::host::kIrpPoolTag), 0u);
}

TEST_F(IoManagerTest, AFunctionTheDriverLeftOutFailsAsAnInvalidRequest) {
  IRP* irp = IoAllocateIrp(1, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_CREATE;
  IoSetCompletionRoutine(irp, &OwnerCompletion, nullptr, TRUE, TRUE, TRUE);
  EXPECT_EQ(IoCallDriver(&filter, irp), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(irp->IoStatus.Status, STATUS_INVALID_DEVICE_REQUEST);
  IoFreeIrp(irp);
}

TEST_F(IoManagerTest, DeviceControlPacketsReportToTheWaiterAndFreeThemselves) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{STATUS_PENDING, 99};
  char in[4] = {41, 0, 0, 0};
  char out[4] = {0, 7, 7, 7};
  // Buffered, answered at once.
  IRP* irp = IoBuildDeviceIoControlRequest(0x00220000, &lower, in, sizeof(in), out, sizeof(out),
                                           FALSE, &event, &iosb);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(IoCallDriver(&lower, irp), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 1u);
  EXPECT_EQ(out[0], 42);
  EXPECT_EQ(out[1], 7);  // only Information bytes come back
  EXPECT_EQ(g_trace.back(), "lower major 14");

  // Internal, pended, completed later from a DPC while the caller waits.
  KeClearEvent(&event);
  g_lowerMode = LowerMode::Pend;
  irp = IoBuildDeviceIoControlRequest(0x00220003, &lower, in, 0, nullptr, 0, TRUE, &event, &iosb);
  EXPECT_EQ(IoGetNextIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode, 0x00220003u);
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = in;
  EXPECT_EQ(IoGetNextIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode,
            0x00220003u);  // Argument1 leaves the control code alone
  EXPECT_EQ(IoCallDriver(&lower, irp), STATUS_PENDING);
  EXPECT_EQ(g_trace.back(), "lower major 15");
  KDPC dpc;
  KeInitializeDpc(
      &dpc, [](KDPC*, PVOID, PVOID, PVOID) { CompletePended(STATUS_DEVICE_DATA_ERROR); }, nullptr);
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(iosb.Status, STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(veltocam::host::OutstandingBlocks(veltocam::host::kIrpPoolTag), 0u);
}

TEST_F(IoManagerTest, ADeviceControlPacketThatIsNeverSentCanBeFreed) {
  IRP* irp = IoBuildDeviceIoControlRequest(0x00220000, &lower, nullptr, 0, nullptr, 16, FALSE,
                                           nullptr, nullptr);
  ASSERT_NE(irp, nullptr);
  IoFreeIrp(irp);
  EXPECT_EQ(veltocam::host::OutstandingBlocks(), 0u);
}

TEST_F(IoManagerTest, OutOfMemoryGivesNoPacketAndLeavesNothingBehind) {
  veltocam::host::FailNthAllocation(1);
  EXPECT_EQ(IoAllocateIrp(2, FALSE), nullptr);
  veltocam::host::FailNthAllocation(1);
  EXPECT_EQ(IoBuildDeviceIoControlRequest(0x00220003, &lower, nullptr, 0, nullptr, 0, TRUE, nullptr,
                                          nullptr),
            nullptr);
  char buffer[8];
  veltocam::host::FailNthAllocation(2);  // the system buffer
  EXPECT_EQ(IoBuildDeviceIoControlRequest(0x00220000, &lower, buffer, 8, buffer, 8, FALSE, nullptr,
                                          nullptr),
            nullptr);
  EXPECT_EQ(veltocam::host::OutstandingBlocks(), 0u);
}

TEST_F(IoManagerTest, CancelWithoutARoutineOnlyMarksThePacket) {
  g_lowerMode = LowerMode::Pend;
  NTSTATUS returned;
  IRP* irp = SendThroughFilter(&returned);
  EXPECT_FALSE(IoCancelIrp(irp));
  EXPECT_TRUE(irp->Cancel);
  EXPECT_EQ(IoSetCancelRoutine(irp, &LowerCancel), nullptr);
  EXPECT_EQ(IoSetCancelRoutine(irp, nullptr), &LowerCancel);
  CompletePended(STATUS_SUCCESS);
  EXPECT_EQ(g_trace.back(), "owner routine pending cancelled");
  IoFreeIrp(irp);
}

class IoManagerDeathTest : public IoManagerTest {
 protected:
  IoManagerDeathTest() { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(IoManagerDeathTest, MisuseThePlatformWouldBugCheckIsReported) {
  NTSTATUS returned;
  EXPECT_DEATH(
      {
        IRP* irp = SendThroughFilter(&returned);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
      },
      "completed twice");
  g_lowerMode = LowerMode::Pend;
  EXPECT_DEATH(IoFreeIrp(SendThroughFilter(&returned)), "a driver still holds");
  EXPECT_DEATH(IoReuseIrp(SendThroughFilter(&returned), STATUS_SUCCESS), "still holds");
  EXPECT_DEATH(
      {
        IRP* irp = IoAllocateIrp(1, FALSE);
        IoSetNextIrpStackLocation(irp);  // the owner took the only location
        IoCallDriver(&lower, irp);
      },
      "no stack location left");
  EXPECT_DEATH(
      {
        g_lowerMode = LowerMode::Complete;
        IRP* irp = IoAllocateIrp(1, FALSE);
        IoCallDriver(&lower, irp);  // nobody keeps the owner's packet
      },
      "STATUS_MORE_PROCESSING_REQUIRED");
  EXPECT_DEATH(
      {
        IRP* irp = SendThroughFilter(&returned);
        IoSetCancelRoutine(irp, &LowerCancel);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
      },
      "cancel routine is still set");
  EXPECT_DEATH(
      {
        IRP* irp = SendThroughFilter(&returned);
        irp->IoStatus.Status = STATUS_PENDING;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
      },
      "STATUS_PENDING");
}

}  // namespace
}  // namespace veltocam::testing
