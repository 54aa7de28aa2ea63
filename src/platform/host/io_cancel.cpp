// Cancellation: the global cancel spin lock, cancel routines and IoCancelIrp.
// A cancel routine runs with the cancel spin lock held and releases it.
#include "platform/host/contract_violations.h"
#include "platform/host/io_internal.h"
#include "platform/host/kernel_internal.h"

using veltocam::host::ContractViolation;
using veltocam::host::io::FindLocked;
using veltocam::host::io::Io;
using veltocam::host::io::IrpRecord;

namespace {

// Keeps the packet's memory alive while IoCancelIrp reads it: a completion on
// another thread may otherwise free it in between.
bool Pin(const IRP* irp) {
  std::lock_guard lock(Io().mutex);
  IrpRecord* record = FindLocked(irp);
  if (record == nullptr) {
    // An I/O-manager packet is freed when it is finished in its thread: a
    // caller that can still be told of the finish (below APC_LEVEL) must not
    // cancel it after.
    ContractViolation(Io().retired.count(irp) != 0
                          ? "IoCancelIrp of a packet that is already finished (and freed)"
                          : "IoCancelIrp of a packet that was never initialised (or was freed)");
    return false;
  }
  ++record->pins;
  return true;
}

void Unpin(IRP* irp) {
  std::lock_guard lock(Io().mutex);
  IrpRecord* record = FindLocked(irp);
  if (record == nullptr) return;
  if (--record->pins == 0 && record->freeWhenUnpinned) {
    veltocam::host::io::ReleasePacketLocked(irp);
  }
}

}  // namespace

PDRIVER_CANCEL IoSetCancelRoutine(IRP* irp, PDRIVER_CANCEL cancelRoutine) {
  return __atomic_exchange_n(&irp->CancelRoutine, cancelRoutine, __ATOMIC_SEQ_CST);
}

void IoAcquireCancelSpinLock(KIRQL* irql) {
  KeAcquireSpinLock(&Io().cancelLock, irql);
}

void IoReleaseCancelSpinLock(KIRQL irql) {
  KeReleaseSpinLock(&Io().cancelLock, irql);
}

BOOLEAN IoCancelIrp(IRP* irp) {
  veltocam::host::detail::SchedulePoint();
  if (irp == nullptr || !Pin(irp)) return FALSE;
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  __atomic_store_n(&irp->Cancel, TRUE, __ATOMIC_SEQ_CST);
  PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql);
    Unpin(irp);
    return FALSE;
  }
  irp->CancelIrql = irql;
  DEVICE_OBJECT* target = irp->CurrentLocation <= irp->StackCount
                              ? IoGetCurrentIrpStackLocation(irp)->DeviceObject
                              : nullptr;
  routine(target, irp);
  Unpin(irp);
  return TRUE;
}
