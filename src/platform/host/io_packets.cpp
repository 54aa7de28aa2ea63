// I/O request packets: allocation from the pool, initialisation and reuse,
// sending to a driver (IoCallDriver) and completion (IoCompleteRequest).
// Stack locations are used from the last towards the first, as on the
// platform: the caller fills the next location and IoCallDriver makes it
// current; completion walks back up, running the routines each level set.
#include "platform/host/contract_violations.h"
#include "platform/host/io_internal.h"
#include "platform/host/io_manager.h"
#include "platform/host/kernel_internal.h"

namespace veltocam::host::io {

IoState& Io() {
  static IoState state;
  return state;
}

IrpRecord* FindLocked(const IRP* irp) {
  auto it = Io().irps.find(irp);
  return it == Io().irps.end() ? nullptr : &it->second;
}

void ReleasePacketLocked(IRP* irp) {
  IoState& io = Io();
  auto it = io.irps.find(irp);
  if (it->second.ioManagerOwned) {
    if (irp->AssociatedSystemBuffer != nullptr) ExFreePool(irp->AssociatedSystemBuffer);
    // A bounded memory of finished packets is enough to tell a late cancel
    // from a cancel of a packet that never existed.
    if (io.retired.size() > 4096) io.retired.clear();
    io.retired.insert(irp);
  }
  io.irps.erase(it);
  ExFreePool(irp);
}

namespace {

void InitializePacket(IRP* irp, USHORT packetSize, CHAR stackSize, bool fromPool) {
  std::memset(irp, 0, packetSize);
  irp->Size = packetSize;
  irp->StackCount = stackSize;
  irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
  irp->CurrentStackLocation = reinterpret_cast<IO_STACK_LOCATION*>(irp + 1) + stackSize;
  InitializeListHead(&irp->ListEntry);
  IrpRecord record;
  record.fromPool = fromPool;
  Io().irps[irp] = record;
  Io().retired.erase(irp);
}

// As the platform's ZeroIrpStackLocation: what a finished level leaves behind.
void ZeroStackLocation(IO_STACK_LOCATION* stack) {
  stack->MinorFunction = 0;
  stack->Flags = 0;
  stack->Control = 0;
  stack->Parameters.Others = {};
  stack->FileObject = nullptr;
}

void SetState(const IRP* irp, IrpState state) {
  std::lock_guard lock(Io().mutex);
  if (IrpRecord* record = FindLocked(irp)) record->state = state;
}

bool InvokeOnStatus(UCHAR control, NTSTATUS status, bool cancelled) {
  return (NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS) != 0) ||
         (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR) != 0) ||
         (cancelled && (control & SL_INVOKE_ON_CANCEL) != 0);
}

}  // namespace
}  // namespace veltocam::host::io

using veltocam::host::ContractViolation;
using veltocam::host::io::FindLocked;
using veltocam::host::io::Io;
using veltocam::host::io::IrpRecord;
using veltocam::host::io::IrpState;

namespace veltocam::host {

void ResetIoManager() {
  std::lock_guard lock(Io().mutex);
  Io().irps.clear();
  Io().retired.clear();
  Io().cancelLock = 0;
}

std::size_t IrpsAtDrivers() {
  std::lock_guard lock(Io().mutex);
  std::size_t count = 0;
  for (const auto& [irp, record] : Io().irps) count += record.state != IrpState::Idle ? 1 : 0;
  return count;
}

}  // namespace veltocam::host

USHORT IoSizeOfIrp(CHAR stackSize) {
  int locations = stackSize > 0 ? stackSize : 0;
  return static_cast<USHORT>(sizeof(IRP) + locations * sizeof(IO_STACK_LOCATION));
}

IRP* IoAllocateIrp(CHAR stackSize, BOOLEAN) {
  if (stackSize < 1) {
    ContractViolation("IoAllocateIrp with a stack size below 1");
    return nullptr;
  }
  const USHORT size = IoSizeOfIrp(stackSize);
  auto* irp =
      static_cast<IRP*>(ExAllocatePoolWithTag(NonPagedPool, size, veltocam::host::kIrpPoolTag));
  if (irp == nullptr) return nullptr;
  std::lock_guard lock(Io().mutex);
  veltocam::host::io::InitializePacket(irp, size, stackSize, true);
  return irp;
}

void IoInitializeIrp(IRP* irp, USHORT packetSize, CHAR stackSize) {
  if (irp == nullptr || stackSize < 1 || packetSize < IoSizeOfIrp(stackSize)) {
    ContractViolation("IoInitializeIrp with a packet too small for its stack locations");
    return;
  }
  std::lock_guard lock(Io().mutex);
  IrpRecord* record = FindLocked(irp);
  if (record != nullptr && record->state != IrpState::Idle) {
    ContractViolation("IoInitializeIrp of a packet a driver still holds");
    return;
  }
  const bool fromPool = record != nullptr && record->fromPool;
  veltocam::host::io::InitializePacket(irp, packetSize, stackSize, fromPool);
}

void IoReuseIrp(IRP* irp, NTSTATUS status) {
  std::lock_guard lock(Io().mutex);
  IrpRecord* record = FindLocked(irp);
  if (record == nullptr) {
    ContractViolation("IoReuseIrp of a packet that was never initialised (or was freed)");
    return;
  }
  if (record->state != IrpState::Idle || record->ioManagerOwned) {
    ContractViolation("IoReuseIrp of a packet a driver or the I/O manager still holds");
    return;
  }
  if (veltocam::host::io::HasCancelRoutine(irp)) {
    ContractViolation("IoReuseIrp of a packet whose cancel routine is still set");
    return;
  }
  const UCHAR allocationFlags = irp->AllocationFlags;
  const bool fromPool = record->fromPool;
  veltocam::host::io::InitializePacket(irp, IoSizeOfIrp(irp->StackCount), irp->StackCount,
                                       fromPool);
  irp->AllocationFlags = allocationFlags;
  irp->IoStatus.Status = status;
}

void IoFreeIrp(IRP* irp) {
  std::lock_guard lock(Io().mutex);
  IrpRecord* record = FindLocked(irp);
  if (record == nullptr || !record->fromPool) {
    ContractViolation("IoFreeIrp of a packet IoAllocateIrp did not make (or freed twice)");
    return;
  }
  if (record->state != IrpState::Idle) {
    ContractViolation("IoFreeIrp of a packet a driver still holds");
    return;
  }
  if (record->ioManagerOwned && record->everSent) {
    ContractViolation("IoFreeIrp of a device control packet the I/O manager frees itself");
    return;
  }
  if (veltocam::host::io::HasCancelRoutine(irp)) {
    ContractViolation("IoFreeIrp of a packet whose cancel routine is still set");
    return;
  }
  if (record->pins != 0) {
    // A concurrent IoCancelIrp still reads the packet; the last one frees it.
    record->freeWhenUnpinned = true;
    return;
  }
  veltocam::host::io::ReleasePacketLocked(irp);
}

NTSTATUS IoCallDriver(DEVICE_OBJECT* deviceObject, IRP* irp) {
  if (deviceObject == nullptr || irp == nullptr) {
    ContractViolation("IoCallDriver without a device object or a packet");
    return STATUS_INVALID_PARAMETER;
  }
  {
    std::lock_guard lock(Io().mutex);
    IrpRecord* record = FindLocked(irp);
    if (record == nullptr) {
      ContractViolation("IoCallDriver with a packet that was never initialised (or was freed)");
      return STATUS_INVALID_PARAMETER;
    }
    if (irp->CurrentLocation <= 1) {
      ContractViolation("IoCallDriver with no stack location left for the target");
      return STATUS_INVALID_PARAMETER;
    }
    if (record->state == IrpState::Idle) {
      // The I/O manager itself sits above the last location of its own packets.
      record->ownerLocation = record->ioManagerOwned ? irp->StackCount + 2 : irp->CurrentLocation;
      record->everSent = true;
      const IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
      if (record->ioManagerOwned && next->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        const auto& sent = next->Parameters.Others;  // Argument3 is the control code
        record->targetArguments = {sent.Argument1, sent.Argument2, sent.Argument4};
      }
    }
    record->state = IrpState::Sent;
  }
  veltocam::host::detail::SchedulePoint();
  IoSetNextIrpStackLocation(irp);
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  stack->DeviceObject = deviceObject;
  PDRIVER_DISPATCH dispatch = nullptr;
  if (deviceObject->DriverObject != nullptr && stack->MajorFunction <= IRP_MJ_MAXIMUM_FUNCTION) {
    dispatch = deviceObject->DriverObject->MajorFunction[stack->MajorFunction];
  }
  if (dispatch == nullptr) {
    // What the platform's default handler does for a function the driver left out.
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  return dispatch(deviceObject, irp);
}

void IoCompleteRequest(IRP* irp, CHAR) {
  int ownerLocation;
  bool ioManagerOwned;
  {
    std::lock_guard lock(Io().mutex);
    IrpRecord* record = FindLocked(irp);
    if (record == nullptr) {
      ContractViolation("IoCompleteRequest of a packet that was never initialised (or was freed)");
      return;
    }
    if (record->state != IrpState::Sent) {
      ContractViolation("IoCompleteRequest of a packet no driver holds (completed twice?)");
      return;
    }
    if (irp->IoStatus.Status == STATUS_PENDING) {
      ContractViolation("IoCompleteRequest with STATUS_PENDING as the final status");
      return;
    }
    if (veltocam::host::io::HasCancelRoutine(irp)) {
      ContractViolation("IoCompleteRequest of a packet whose cancel routine is still set");
      return;
    }
    record->state = IrpState::Completing;
    ownerLocation = record->ownerLocation;
    ioManagerOwned = record->ioManagerOwned;
  }
  while (irp->CurrentLocation <= irp->StackCount) {
    IO_STACK_LOCATION* stack = irp->CurrentStackLocation;
    irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0 ? TRUE : FALSE;
    const PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
    PVOID context = stack->Context;
    const UCHAR control = stack->Control;
    veltocam::host::io::ZeroStackLocation(stack);
    IoSkipCurrentIrpStackLocation(irp);
    if (routine == nullptr ||
        !veltocam::host::io::InvokeOnStatus(control, irp->IoStatus.Status,
                                            veltocam::host::io::CancelRequested(irp))) {
      // Without a routine, the level above learns that a lower one pended.
      if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount) IoMarkIrpPending(irp);
      continue;
    }
    DEVICE_OBJECT* above =
        irp->CurrentLocation <= irp->StackCount ? irp->CurrentStackLocation->DeviceObject : nullptr;
    // The owner's routine holds the packet: it may reuse, resend or free it.
    const bool atOwner = irp->CurrentLocation >= ownerLocation;
    if (atOwner) veltocam::host::io::SetState(irp, IrpState::Idle);
    const NTSTATUS result = routine(above, irp, context);
    if (result == STATUS_MORE_PROCESSING_REQUIRED) {
      if (!atOwner) {
        // A driver below the owner keeps the packet and completes it again later.
        std::lock_guard lock(Io().mutex);
        IrpRecord* record = FindLocked(irp);
        if (record != nullptr && record->state == IrpState::Completing) {
          record->state = IrpState::Sent;
        }
      }
      return;
    }
    if (atOwner) {
      std::lock_guard lock(Io().mutex);
      IrpRecord* record = FindLocked(irp);
      if (record == nullptr || record->state != IrpState::Idle) {
        ContractViolation(
            "a completion routine freed or resent its packet without returning "
            "STATUS_MORE_PROCESSING_REQUIRED");
        return;
      }
      record->state = IrpState::Completing;
    }
  }
  if (ioManagerOwned) {
    veltocam::host::io::FinishIoManagerPacket(irp);
    return;
  }
  veltocam::host::io::SetState(irp, IrpState::Idle);
  ContractViolation(
      "a driver's own packet completed past its last completion routine (return "
      "STATUS_MORE_PROCESSING_REQUIRED to keep it)");
}
