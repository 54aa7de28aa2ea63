// The I/O manager: driver and device objects, I/O request packets with their
// stack locations and completion routines, cancellation.
#pragma once

#include "platform/kernel.h"

struct DRIVER_OBJECT;
struct DEVICE_OBJECT;
struct IRP;
struct GUID;

using PDRIVER_DISPATCH = NTSTATUS (*)(DEVICE_OBJECT* deviceObject, IRP* irp);
using PIO_COMPLETION_ROUTINE = NTSTATUS (*)(DEVICE_OBJECT* deviceObject, IRP* irp,
                                            PVOID context);
using PDRIVER_CANCEL = void (*)(DEVICE_OBJECT* deviceObject, IRP* irp);
using PDRIVER_UNLOAD = void (*)(DRIVER_OBJECT* driverObject);

constexpr UCHAR IRP_MJ_CREATE = 0x00;
constexpr UCHAR IRP_MJ_CLOSE = 0x02;
constexpr UCHAR IRP_MJ_DEVICE_CONTROL = 0x0E;
constexpr UCHAR IRP_MJ_INTERNAL_DEVICE_CONTROL = 0x0F;
constexpr UCHAR IRP_MJ_POWER = 0x16;
constexpr UCHAR IRP_MJ_PNP = 0x1B;
constexpr UCHAR IRP_MJ_MAXIMUM_FUNCTION = 0x1B;

// Minor functions of IRP_MJ_PNP and IRP_MJ_POWER.
constexpr UCHAR IRP_MN_QUERY_INTERFACE = 0x08;
constexpr UCHAR IRP_MN_SET_POWER = 0x02;

// DEVICE_OBJECT::Flags
constexpr ULONG DO_DIRECT_IO = 0x00000010;
constexpr ULONG DO_DEVICE_INITIALIZING = 0x00000080;

using PINTERFACE_REFERENCE = void (*)(PVOID context);
using PINTERFACE_DEREFERENCE = void (*)(PVOID context);

// The header every interface record returned by a query-interface request
// starts with; the interface's own entries follow it.
struct INTERFACE {
  USHORT Size;
  USHORT Version;
  PVOID Context;
  PINTERFACE_REFERENCE InterfaceReference;
  PINTERFACE_DEREFERENCE InterfaceDereference;
};

// Device power states (IRP_MN_SET_POWER with Type DevicePowerState).
enum DEVICE_POWER_STATE : ULONG {
  PowerDeviceUnspecified = 0,
  PowerDeviceD0 = 1,
  PowerDeviceD1 = 2,
  PowerDeviceD2 = 3,
  PowerDeviceD3 = 4,
};
enum POWER_STATE_TYPE : ULONG { SystemPowerState = 0, DevicePowerState = 1 };

constexpr CHAR IO_NO_INCREMENT = 0;

struct DRIVER_OBJECT {
  DEVICE_OBJECT* DeviceObject;
  PVOID DriverExtension;
  UNICODE_STRING DriverName;
  PDRIVER_UNLOAD DriverUnload;
  PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
};

struct DEVICE_OBJECT {
  DRIVER_OBJECT* DriverObject;
  DEVICE_OBJECT* NextDevice;
  DEVICE_OBJECT* AttachedDevice;
  PVOID DeviceExtension;
  ULONG Flags;
  CHAR StackSize;
};

// IO_STACK_LOCATION::Control
constexpr UCHAR SL_PENDING_RETURNED = 0x01;
constexpr UCHAR SL_INVOKE_ON_CANCEL = 0x20;
constexpr UCHAR SL_INVOKE_ON_SUCCESS = 0x40;
constexpr UCHAR SL_INVOKE_ON_ERROR = 0x80;

struct IO_STACK_LOCATION {
  UCHAR MajorFunction;
  UCHAR MinorFunction;
  UCHAR Flags;
  UCHAR Control;
  union {
    // Pointer-aligned as on the platform, so that Argument1..4 of `Others`
    // overlay OutputBufferLength, InputBufferLength, IoControlCode and
    // Type3InputBuffer: a driver that puts a pointer in Argument1 or Argument2
    // of an internal device control keeps the control code intact.
    struct {
      ULONG OutputBufferLength;
      alignas(PVOID) ULONG InputBufferLength;
      alignas(PVOID) ULONG IoControlCode;
      PVOID Type3InputBuffer;
    } DeviceIoControl;
    struct {
      PVOID Argument1;
      PVOID Argument2;
      PVOID Argument3;
      PVOID Argument4;
    } Others;
    struct {
      const GUID* InterfaceType;
      USHORT Size;
      USHORT Version;
      INTERFACE* Interface;  // the caller's record, Size bytes
      PVOID InterfaceSpecificData;
    } QueryInterface;
    struct {
      ULONG SystemContext;
      alignas(PVOID) POWER_STATE_TYPE Type;
      alignas(PVOID) DEVICE_POWER_STATE State;
      PVOID ShutdownType;
    } Power;
  } Parameters;
  DEVICE_OBJECT* DeviceObject;
  PVOID FileObject;
  PIO_COMPLETION_ROUTINE CompletionRoutine;
  PVOID Context;
};

// The packet is followed in memory by StackCount stack locations. Locations
// are used from the last towards the first, as on the platform: the caller
// fills the "next" location and IoCallDriver makes it current.
struct IRP {
  SHORT Type;
  USHORT Size;
  ULONG Flags;
  IO_STATUS_BLOCK IoStatus;
  CHAR StackCount;
  CHAR CurrentLocation;  // StackCount + 1 when not yet sent
  BOOLEAN PendingReturned;
  BOOLEAN Cancel;
  KIRQL CancelIrql;
  UCHAR AllocationFlags;
  PDRIVER_CANCEL CancelRoutine;
  IO_STATUS_BLOCK* UserIosb;
  KEVENT* UserEvent;
  PVOID UserBuffer;
  PVOID AssociatedSystemBuffer;
  LIST_ENTRY ListEntry;  // free for the current owner of the packet
  PVOID DriverContext[4];
  IO_STACK_LOCATION* CurrentStackLocation;
};

USHORT IoSizeOfIrp(CHAR stackSize);
IRP* IoAllocateIrp(CHAR stackSize, BOOLEAN chargeQuota);
void IoInitializeIrp(IRP* irp, USHORT packetSize, CHAR stackSize);
void IoReuseIrp(IRP* irp, NTSTATUS status);
void IoFreeIrp(IRP* irp);

// An internal (or plain) device control packet owned by the I/O manager:
// when it completes, IoStatus is copied to *ioStatusBlock, `event` is set and
// the packet is freed. Returns null when no memory is left.
IRP* IoBuildDeviceIoControlRequest(ULONG ioControlCode, DEVICE_OBJECT* deviceObject,
                                   PVOID inputBuffer, ULONG inputBufferLength,
                                   PVOID outputBuffer, ULONG outputBufferLength,
                                   BOOLEAN internalDeviceIoControl, KEVENT* event,
                                   IO_STATUS_BLOCK* ioStatusBlock);

inline IO_STACK_LOCATION* IoGetCurrentIrpStackLocation(IRP* irp) {
  return irp->CurrentStackLocation;
}
inline IO_STACK_LOCATION* IoGetNextIrpStackLocation(IRP* irp) {
  return irp->CurrentStackLocation - 1;
}
inline void IoSetNextIrpStackLocation(IRP* irp) {
  irp->CurrentLocation--;
  irp->CurrentStackLocation--;
}
inline void IoSkipCurrentIrpStackLocation(IRP* irp) {
  irp->CurrentLocation++;
  irp->CurrentStackLocation++;
}
inline void IoCopyCurrentIrpStackLocationToNext(IRP* irp) {
  IO_STACK_LOCATION* current = IoGetCurrentIrpStackLocation(irp);
  IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
  *next = *current;
  next->CompletionRoutine = nullptr;
  next->Context = nullptr;
  next->Control = 0;
}
inline void IoSetCompletionRoutine(IRP* irp, PIO_COMPLETION_ROUTINE routine, PVOID context,
                                   BOOLEAN invokeOnSuccess, BOOLEAN invokeOnError,
                                   BOOLEAN invokeOnCancel) {
  IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
  next->CompletionRoutine = routine;
  next->Context = context;
  next->Control = 0;
  if (invokeOnSuccess) next->Control |= SL_INVOKE_ON_SUCCESS;
  if (invokeOnError) next->Control |= SL_INVOKE_ON_ERROR;
  if (invokeOnCancel) next->Control |= SL_INVOKE_ON_CANCEL;
}
inline void IoMarkIrpPending(IRP* irp) {
  IoGetCurrentIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED;
}

// Passes the packet to the driver of `deviceObject` (its next stack location
// becomes current) and returns that driver's status.
NTSTATUS IoCallDriver(DEVICE_OBJECT* deviceObject, IRP* irp);
// Runs the completion routines from the current location upwards; a routine
// returning STATUS_MORE_PROCESSING_REQUIRED keeps the packet with its caller.
void IoCompleteRequest(IRP* irp, CHAR priorityBoost);

// Marks the packet cancelled and calls its cancel routine, if any, with the
// cancel spin lock held (the routine releases it). TRUE when a routine ran.
BOOLEAN IoCancelIrp(IRP* irp);
PDRIVER_CANCEL IoSetCancelRoutine(IRP* irp, PDRIVER_CANCEL cancelRoutine);
void IoAcquireCancelSpinLock(KIRQL* irql);
void IoReleaseCancelSpinLock(KIRQL irql);
