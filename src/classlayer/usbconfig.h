// Device initialisation's USB part: read the descriptors, let the device
// layer edit the interface and describe its pipes, select the configuration,
// classify the pipes into the video and still streams, call Initialize.
#pragma once

#include "classlayer/device.h"

// PipeEntry.Role: the high byte of the device layer's pipe word.
constexpr UCHAR kPipeRoleDataPipe = 1;
constexpr UCHAR kPipeRoleMultiplexedPipe = 2;  // video and still frames on one pipe
constexpr UCHAR kPipeRoleSyncPipe = 4;
constexpr UCHAR kPipeRoleIgnored = 8;
// PipeEntry.Association: the low byte.
constexpr UCHAR kPipeServesVideo = 1;
constexpr UCHAR kPipeServesStill = 2;
constexpr UCHAR kPipeServesBoth = 3;

// One per pipe of the selected interface, in the interface's pipe order.
struct PipeEntry {
  UCHAR TransferType;  // 0 control, 1 isochronous, 2 bulk, 3 interrupt
  UCHAR DirectionIn;
  USHORT MaxPacketSize;
  UCHAR Association;  // 1 video, 2 still, 3 both
  UCHAR Role;         // 1 data, 2 multiplexed data, 4 sync, 8 ignore
  PVOID PendingTransfer;
  PVOID SavedTransfer;
};

NTSTATUS ConfigureDevice(ClassDevice* device);

// Decides from the pipe table which pipes serve which stream; sets the pipe
// indices, the data streams, StillIsVirtual and NumberOfStreams.
// STATUS_INVALID_PARAMETER when there is no data pipe or more than two streams.
NTSTATUS ClassifyPipes(ClassDevice* device, ULONG numberOfPipes);

// Frees what ConfigureDevice kept: descriptor, interface and pipe table copies.
void ReleaseDeviceConfiguration(ClassDevice* device);
