// Device control packets the I/O manager owns (IoBuildDeviceIoControlRequest):
// built for a waiting thread, reported to it through its status block and
// event when they complete, then freed by the I/O manager.
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

}  // namespace

void FinishIoManagerPacket(IRP* irp) {
  detail::ExecutionContext* issuer;
  {
    std::lock_guard lock(Io().mutex);
    IrpRecord* record = FindLocked(irp);
    record->state = IrpState::AwaitingApc;
    issuer = static_cast<detail::ExecutionContext*>(record->issuer);
  }
  if (issuer == &detail::CurrentContext() && KeGetCurrentIrql() < APC_LEVEL) {
    FinishInIssuingThread(irp);
    return;
  }
  detail::QueueApc(issuer, {FinishApc, irp});
}

}  // namespace veltocam::host::io

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
