// Device control packets the I/O manager owns (IoBuildDeviceIoControlRequest):
// built for a waiting thread, reported to it through its status block and
// event when they complete, then freed by the I/O manager.
#include <pthread.h>

#include <cstdint>
#include <cstring>
#include <optional>

#include "platform/host/contract_violations.h"
#include "platform/host/io_internal.h"
#include "platform/host/io_manager.h"
#include "platform/host/kernel_internal.h"

using veltocam::host::ContractViolation;
using veltocam::host::io::FindLocked;
using veltocam::host::io::Io;
using veltocam::host::io::IrpRecord;

namespace {

constexpr ULONG kMethodNeither = 3;

constexpr bool IsError(NTSTATUS status) {
  return (static_cast<ULONG>(status) >> 30) == 3;
}

}  // namespace

namespace veltocam::host::io {
namespace {

void FinishInIssuingThread(IRP* irp) {
  const IO_STATUS_BLOCK result = irp->IoStatus;
  KEVENT* event = irp->UserEvent;
  {
    std::lock_guard lock(Io().mutex);
    IrpRecord* record = FindLocked(irp);
    if (record->bufferedOutput && !IsError(result.Status)) {
      std::size_t length =
          result.Information < record->outputLength ? result.Information : record->outputLength;
      std::memcpy(record->outputBuffer, irp->AssociatedSystemBuffer, length);
    }
    if (irp->UserIosb != nullptr) *irp->UserIosb = result;
    record->state = IrpState::Idle;
    if (record->pins != 0) {
      record->freeWhenUnpinned = true;
    } else {
      ReleasePacketLocked(irp);
    }
  }
  if (event != nullptr) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

void FinishApc(void* irp) {
  FinishInIssuingThread(static_cast<IRP*>(irp));
}

// A packet whose issuing work item has returned is finished by the worker
// thread that ran it, which is idle at PASSIVE_LEVEL: a host work item.
struct OrphanFinish {
  WORK_QUEUE_ITEM item;
  IRP* irp;
};

void FinishOrphan(PVOID argument) {
  auto* finish = static_cast<OrphanFinish*>(argument);
  FinishInIssuingThread(finish->irp);
  delete finish;
}

// The calling thread's stack below `live`: frames that have returned.
class ReturnedFrames {
 public:
  explicit ReturnedFrames(const void* live) {
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return;
    void* low = nullptr;
    std::size_t size = 0;
    pthread_attr_getstack(&attributes, &low, &size);
    pthread_attr_destroy(&attributes);
    low_ = reinterpret_cast<std::uintptr_t>(low);
    live_ = reinterpret_cast<std::uintptr_t>(live);
  }
  bool Hold(const void* address) const {
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    return at >= low_ && at < live_;
  }

 private:
  std::uintptr_t low_ = 1;
  std::uintptr_t live_ = 0;
};

// Drops what the finish would write into returned frames (each target on its
// own: an event elsewhere may have another waiter) and reports it, with what
// the target driver would write there itself.
void ForgetReturnedFrames(IRP* irp, IrpRecord& record, const ReturnedFrames& returned) {
  bool found = false;
  if (returned.Hold(irp->UserIosb)) {
    irp->UserIosb = nullptr;
    found = true;
  }
  if (returned.Hold(irp->UserEvent)) {
    irp->UserEvent = nullptr;
    found = true;
  }
  if (returned.Hold(irp->UserBuffer)) {
    record.bufferedOutput = false;
    found = true;
  }
  for (PVOID argument : record.targetArguments) found = found || returned.Hold(argument);
  if (found)
    ContractViolation("a work item returned before a packet it built reported to its stack");
}

}  // namespace

void FinishIoManagerPacket(IRP* irp) {
  detail::ExecutionContext* issuer;
  {
    // Under the lock, so that the issuer's context cannot end in between.
    std::lock_guard lock(Io().mutex);
    IrpRecord* record = FindLocked(irp);
    record->state = IrpState::AwaitingApc;
    issuer = static_cast<detail::ExecutionContext*>(record->issuer);
    const bool here = issuer == &detail::CurrentContext() && KeGetCurrentIrql() < APC_LEVEL;
    if (issuer != nullptr && !here) {
      detail::QueueApc(issuer, {FinishApc, irp});
      return;
    }
  }
  if (issuer != nullptr) {
    FinishInIssuingThread(irp);
    return;
  }
  auto* finish = new OrphanFinish{{}, irp};
  ExInitializeWorkItem(&finish->item, FinishOrphan, finish);
  ExQueueWorkItem(&finish->item, DelayedWorkQueue);
}

}  // namespace veltocam::host::io

namespace veltocam::host::detail {

// A work item may return before a packet it built completes: the platform
// finishes it in the worker thread later. A status block, event, output
// buffer or URB on the returned stack would then be written after its frame
// is gone.
void EndIssuingContext(ExecutionContext* context) {
  // The context lives in the frame that ran the routine: below it is gone.
  std::optional<io::ReturnedFrames> returned;
  std::lock_guard lock(io::Io().mutex);
  for (auto& [packet, record] : io::Io().irps) {
    if (record.issuer != context) continue;
    record.issuer = nullptr;
    if (!returned) returned.emplace(context);
    io::ForgetReturnedFrames(const_cast<IRP*>(packet), record, *returned);
  }
}

}  // namespace veltocam::host::detail

IRP* IoBuildDeviceIoControlRequest(ULONG ioControlCode, DEVICE_OBJECT* deviceObject,
                                   PVOID inputBuffer, ULONG inputBufferLength, PVOID outputBuffer,
                                   ULONG outputBufferLength, BOOLEAN internalDeviceIoControl,
                                   KEVENT* event, IO_STATUS_BLOCK* ioStatusBlock) {
  // The packet is finished in this thread by an APC: only a thread can issue it.
  if (!veltocam::host::RequirePassiveLevel("IoBuildDeviceIoControlRequest")) return nullptr;
  if (deviceObject == nullptr || deviceObject->StackSize < 1) {
    ContractViolation("IoBuildDeviceIoControlRequest without a target device");
    return nullptr;
  }
  IRP* irp = IoAllocateIrp(deviceObject->StackSize, FALSE);
  if (irp == nullptr) return nullptr;
  IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction =
      internalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
  next->Parameters.DeviceIoControl.InputBufferLength = inputBufferLength;
  next->Parameters.DeviceIoControl.OutputBufferLength = outputBufferLength;
  irp->UserBuffer = outputBuffer;
  bool buffered = false;
  if ((ioControlCode & 3) == kMethodNeither) {
    next->Parameters.DeviceIoControl.Type3InputBuffer = inputBuffer;
  } else {
    // Buffered: one system buffer carries the input in and the output back.
    // The direct methods are served the same way, as the host has no MDLs.
    const ULONG size =
        inputBufferLength > outputBufferLength ? inputBufferLength : outputBufferLength;
    if (size != 0) {
      PVOID system = ExAllocatePoolWithTag(NonPagedPool, size, veltocam::host::kIrpPoolTag);
      if (system == nullptr) {
        IoFreeIrp(irp);
        return nullptr;
      }
      if (inputBuffer != nullptr && inputBufferLength != 0) {
        std::memcpy(system, inputBuffer, inputBufferLength);
      }
      irp->AssociatedSystemBuffer = system;
      buffered = outputBuffer != nullptr && outputBufferLength != 0;
    }
  }
  irp->UserIosb = ioStatusBlock;
  irp->UserEvent = event;
  std::lock_guard lock(Io().mutex);
  IrpRecord* record = FindLocked(irp);
  record->ioManagerOwned = true;
  record->issuer = &veltocam::host::detail::CurrentContext();
  record->bufferedOutput = buffered;
  record->outputBuffer = outputBuffer;
  record->outputLength = outputBufferLength;
  return irp;
}
