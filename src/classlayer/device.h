// ClassDevice: the class layer's per-device record. The device extension is
// this record followed directly by the device layer's context, so the two
// convert into each other by a fixed displacement.
#pragma once

#include "classlayer/callback_table.h"
#include "platform/streamclass.h"

struct Channel;
struct PipeEntry;

constexpr ULONG kClassDeviceTag = 0x45564544;

// DeviceState values.
constexpr ULONG kDeviceRemoved = 0;  // removed or uninitialised
constexpr ULONG kDeviceInitialising = 1;
constexpr ULONG kDeviceStarted = 2;

struct ClassDevice {
  ULONG Tag;
  ::Channel* Channel[2];
  LIST_ENTRY ControlWaitList[2];
  ULONG ControlBusy[2];
  KSPIN_LOCK ControlLock;
  KSPIN_LOCK CompletionLock;
  LONG ResetCount[2];
  KSEMAPHORE ChannelLock;
  KSEMAPHORE UrbLock;
  ULONG NumberOfStreams;
  ULONG DeviceState;
  ULONG OpenCount[2];
  DEVICE_OBJECT* BusDeviceObject;
  DEVICE_OBJECT* ClassDeviceObject;
  DEVICE_OBJECT* LowerDeviceObject;
  KSPIN_LOCK PipeTableLock;
  USBD_CONFIGURATION_HANDLE ConfigurationHandle;
  USB_DEVICE_DESCRIPTOR* DeviceDescriptor;
  USBD_INTERFACE_INFORMATION* InterfaceInfo;
  LONG SyncPipeIndex;
  LONG IsoDataPipeIndex;
  UCHAR IsoDataStream;
  LONG BulkDataPipeIndex;
  UCHAR BulkDataStream;
  UCHAR StillIsVirtual;
  UCHAR Removed;
  ULONG PowerState;
  ULONG ControlFlags;
  union {
    DeviceCallbackTable Extended;  // in force when Version is 0x200
    BasicCallbackTable Basic;
  } CallbackTable;
  ULONG Version;
  PipeEntry* PipeTable;
  ULONG NumberOfPipes;  // entries of PipeTable
  LONG EventEnableCount;
  LONG BulkPauseCount;  // non-zero while bulk transfers are paused
  // Deferred pipe-control work items not yet done: they refer to the device,
  // so its release waits for none to be left.
  LONG PipeControlsInFlight;
};

inline PVOID DeviceContextOf(ClassDevice* device) {
  return device + 1;
}

inline ClassDevice* ClassDeviceFromContext(PVOID deviceContext) {
  return static_cast<ClassDevice*>(deviceContext) - 1;
}

// Size of the device extension for a device context of the given size.
constexpr ULONG DeviceExtensionSize(ULONG deviceContextSize) {
  return static_cast<ULONG>(sizeof(ClassDevice)) + deviceContextSize;
}

// ---- Device requests (the dispatcher behind ClassReceiveDevicePacket) --------
// SRB_INITIALIZE_DEVICE: records the device objects, sets up USB through the
// device layer, tells the port its stream descriptor size. A failure releases
// what the attempt took and leaves DeviceState at 1.
NTSTATUS InitializeDevice(ClassDevice* device, HW_STREAM_REQUEST_BLOCK* srb,
                          const BasicCallbackTable* basicTable);
// SRB_GET_STREAM_INFO, after the filter copied its stream templates.
NTSTATUS GetStreamInformation(ClassDevice* device, HW_STREAM_REQUEST_BLOCK* srb);
// SRB_UNINITIALIZE_DEVICE: stops streaming channels; the release waits for
// the close of the last open stream.
NTSTATUS UninitializeDevice(ClassDevice* device);
// The release an uninitialisation leaves behind: UnInitialize and the
// configuration copies. Runs once; CloseStream calls it after the last close
// once DeviceState is 0. Returns UnInitialize's status.
NTSTATUS FinishUninitialize(ClassDevice* device);
// SRB_SURPRISE_REMOVAL: marks the device removed and stops streaming channels.
NTSTATUS SurpriseRemoval(ClassDevice* device);
// SRB_UNKNOWN_DEVICE_COMMAND: the service interface for a query-interface
// request, STATUS_NOT_IMPLEMENTED for anything else.
NTSTATUS ReceiveUnknownDeviceCommand(ClassDevice* device, HW_STREAM_REQUEST_BLOCK* srb);

// The port's device event routine: counts the clients that enabled the event.
NTSTATUS EventEnable(HW_EVENT_DESCRIPTOR* eventDescriptor);
